// What every extension module of the package has in common: its definition and its state.
#pragma once

#include "pyhost/dispatch.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/ref.hpp"

#include <cstddef>
#include <type_traits>

namespace pyhost {

template <class State>
State& state_of(PyObject* module) {
    return *static_cast<State*>(PyModule_GetState(module));
}

// What a module keeps of its one class, zeroed by the interpreter before the module runs: the class, what each
// declared operation resolved to on it when the module made it, and the sets of its own that dispatch found since.
template <std::size_t N>
struct ClassState {
    PyObject* cls;
    PyObject* originals[N];
    OwnSets own_sets;
};

template <class Module>
using StateOf = ClassState<Module::declaration.size>;

// What dispatch needs of the module, for one call from the host.
template <class Module>
DispatchState dispatch_state(PyObject* module) {
    if constexpr (is_class_declaration<std::remove_cvref_t<decltype(Module::declaration)>>) {
        StateOf<Module>& state = state_of<StateOf<Module>>(module);
        return {state.originals, operation_names<Module>.data(), Module::declaration.size, &state.own_sets};
    } else {
        return {};
    }
}

template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    State& state = state_of<State>(module);
    Py_VISIT(state.cls);
    for (PyObject* original : state.originals) Py_VISIT(original);
    return 0;
}

template <class State>
int clear_state(PyObject* module) {
    State& state = state_of<State>(module);
    Py_CLEAR(state.cls);
    for (PyObject*& original : state.originals) Py_CLEAR(original);
    return 0;
}

template <class State>
void free_state(void* module) {
    clear_state<State>(static_cast<PyObject*>(module));
}

// Every module runs `Exec` once when loaded, and declares that it keeps process-wide caches (interned names), so
// it cannot be loaded into a second interpreter.
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

// For a module that defines one class and keeps it in its state.
template <class Module>
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    using State = StateOf<Module>;
    return {PyModuleDef_HEAD_INIT, name, doc, sizeof(State), nullptr, slots, traverse_state<State>, clear_state<State>,
            free_state<State>};
}

// For a module without state.
inline constexpr PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace pyhost

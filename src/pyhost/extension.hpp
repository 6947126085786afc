// What every extension module of the package has in common: its module definition, and for the extractor modules
// one class with the state that remembers what the class's operations were when the module made them.
#pragma once

#include "pyhost/klass.hpp"
#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace pyhost {

// The state of a module that defines one extractor class: the class, and what each of the operations a call may
// skip the interpreter for resolved to when the module made the class.
template <std::size_t N>
struct ClassState {
    PyObject* cls;
    PyObject* originals[N];
};

template <class State>
State& state_of(PyObject* module) {
    return *static_cast<State*>(PyModule_GetState(module));
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

struct ClassSpec {
    const char* dotted_name;     // "kestor.tavi.extractor.causara.CausaraExtractor"
    const char* doc;             // with its text signature
    PyMethodDef* methods;        // in declaration order, static methods as placeholders
    PyMethodDef* static_methods; // the same static methods, bound to the module
    initproc init;
};

// Makes the class, binds its static methods to the module, keeps the class and what each of `operations`
// resolves to in `cls` and `originals`, and adds the class to the module under its name.
void define_class(PyObject* module, const ClassSpec& spec, std::span<const Name* const> operations, PyObject*& cls,
                  PyObject** originals);

template <class State, std::size_t N>
void define_class(PyObject* module, const ClassSpec& spec, const std::array<const Name*, N>& operations) {
    static_assert(N == std::size(State{}.originals));
    State& state = state_of<State>(module);
    define_class(module, spec, operations, state.cls, state.originals);
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

template <class State>
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, sizeof(State), nullptr, slots,
            traverse_state<State>, clear_state<State>, free_state<State>};
}

// For a module without state.
inline constexpr PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace pyhost

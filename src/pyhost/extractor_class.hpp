// The extractor classes: heap types whose only base is `object`, with an instance __dict__ (the extractors keep
// their fields there, as Python classes do), weak references, and subclassing from Python.
#pragma once

#include "pyhost/calls.hpp"
#include "pyhost/operations.hpp"
#include "pyhost/ref.hpp"

#include <cstddef>
#include <span>

namespace pyhost {

// What a module keeps of its one class: the class, and what each declared operation resolved to on it when the
// module made it, to tell later whether a call may skip the interpreter's attribute lookup.
template <std::size_t N>
struct ClassState {
    PyObject* cls;
    PyObject* originals[N];
};

// `owner.<Op>(args...)` for an operation the class declares, looked up as Python code would look it up; `direct`
// runs in place of the module's own operation when that is what the lookup finds.
template <const auto& Decl, FixedString Op, class State, class Direct, class... Args>
Ref call_declared(PyObject* owner, const State& state, Direct&& direct, Args... args) {
    constexpr std::size_t index = Decl.index(Op.view());
    static constinit Name name{Decl.operations[index].name};
    return call_attribute(owner, name, state.originals[index], std::forward<Direct>(direct), args...);
}

// What an operation's name resolves to on the class itself: the method descriptor of an instance method, the
// function of a static method.
Ref class_attribute(PyObject* cls, const Name& name);

// The instance's __dict__ if it has one yet (borrowed).
PyObject* instance_dict(PyObject* self) noexcept;

namespace detail {

struct ClassParts {
    const char* dotted_name;
    const char* doc;
    PyMethodDef* methods;           // in declaration order, static methods as placeholders
    PyMethodDef* static_functions;  // the same static methods, bound to the module
    initproc init;
};

// Makes the class, puts its static methods in place, keeps the class and what each operation resolves to in
// `cls` and `originals`, and adds the class to the module under its name.
void define_class(PyObject* module, const ClassParts& parts, std::span<const Operation> operations, PyObject*& cls,
                  PyObject** originals);

// tp_init: binds the arguments as the `__init__` method does and runs the same body. `def` finds the module for
// instances of Python subclasses.
int run_init(const Owner& owner, const Operation& init, PyModuleDef* def, PyObject* self, PyObject* args,
             PyObject* kwargs) noexcept;

template <const auto& Decl>
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    constexpr std::size_t index = Decl.index("__init__");
    return run_init(owner_of<Decl, index>(), Decl.operations[index], Decl.module_def, self, args, kwargs);
}

}  // namespace detail

template <const auto& Decl, class State>
void define_class(PyObject* module, State& state) {
    static_assert(std::size(State{}.originals) == Decl.size);
    const detail::ClassParts parts = {Decl.dotted_name, class_doc<Decl>.data(), class_methods<Decl>(),
                                      module_functions<Decl>(), &detail::init_slot<Decl>};
    detail::define_class(module, parts, Decl.operations, state.cls, state.originals);
}

}  // namespace pyhost

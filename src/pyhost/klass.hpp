// The extractor classes: heap types whose only base is `object`, with an instance __dict__ (the extractors keep
// their fields there, as Python classes do), weak references, and subclassing from Python.
#pragma once

#include "pyhost/args.hpp"
#include "pyhost/entry.hpp"
#include "pyhost/module.hpp"
#include "pyhost/ref.hpp"


namespace pyhost {

// Instances have a layout of their own on every supported interpreter (3.12 would decide so whatever the field
// order; 3.11 would not with the dict last), so two extractor classes are never bases of one class anywhere.
struct Instance {
    PyObject_HEAD
    PyObject* weakrefs;
    PyObject* dict;
};

// `methods` is the class's method table in declaration order; static methods are declared there with METH_STATIC
// and replaced by `install_static_methods`, which binds them to the module instead.
Ref new_class(PyObject* module, const char* dotted_name, const char* doc, PyMethodDef* methods, initproc init);

// Replaces each METH_STATIC placeholder named in `functions` by staticmethod(function bound to `module`). The
// entries of `functions` carry the same C function without METH_STATIC, so that it receives the module as `self`
// and can read module-level names; the class __dict__ keeps the declaration order.
void install_static_methods(PyObject* cls, PyObject* module, PyMethodDef* functions);

// The module that defined `cls`, for methods that receive their defining class (METH_METHOD).
inline PyObject* module_of(PyTypeObject* cls) {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) raise();
    return module;
}

// The module of the first class in type(self).__mro__ that `def` created; for the tp_init slot, which is not
// told its defining class.
PyObject* module_of_instance(PyObject* self, PyModuleDef* def);

// The instance's __dict__ if it has one yet (borrowed).
PyObject* instance_dict(PyObject* self) noexcept;

// What an operation's name resolves to on the class itself: the method descriptor of an instance method, the
// function of a static method. Kept at module load to tell later whether a call may skip the attribute lookup.
Ref class_attribute(PyObject* cls, const Name& name);

// Calls `owner.<name>(args...)` with the attribute looked up as Python code would look it up; when that finds the
// module's own function (`original`), `direct` runs instead of a second trip through the interpreter. Static
// methods resolve to the same function object every time, so the test is one comparison.
template <class Direct, class... Args>
Ref call_attribute(PyObject* owner, const Name& name, PyObject* original, Direct&& direct, Args... args) {
    Ref attribute = own(PyObject_GetAttr(owner, name.get()));
    if (attribute.get() == original) return direct();
    PyObject* stack[sizeof...(Args) + 1] = {nullptr, args...};
    return own(PyObject_Vectorcall(attribute.get(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// Method entry points. `Impl(self, module, args, nargs, kwnames)` returns a Ref; the entry binds the module and
// runs it behind the barrier.
using MethodImpl = Ref (*)(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

template <MethodImpl Impl>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    return barrier([&] { return Impl(self, module_of(defining_class), args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// Static methods are bound to their module, so `self` is the module.
template <MethodImpl Impl>
PyObject* static_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return barrier([&] { return Impl(nullptr, module, args, nargs, kwnames); });
}

template <MethodImpl Impl>
constexpr PyMethodDef instance_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Impl>)),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc};
}

// `__init__` as a method (so that it has a signature and `super().__init__(...)` is a direct call); it coexists
// with the tp_init slot that runs the same code for `Class(...)`.
template <MethodImpl Impl>
constexpr PyMethodDef init_method(const char* doc) {
    return {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Impl>)),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, doc};
}

template <MethodImpl Impl>
constexpr PyMethodDef static_placeholder(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<Impl>)),
            METH_STATIC | METH_FASTCALL | METH_KEYWORDS, doc};
}

template <MethodImpl Impl>
constexpr PyMethodDef module_function(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<Impl>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// tp_init for a class whose `__init__` is `Impl`: re-enters through the vectorcall form so that binding is
// written once. `def` finds the module for instances of Python subclasses.
int run_init(MethodImpl impl, PyModuleDef* def, PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

template <MethodImpl Impl, PyModuleDef* Def>
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_init(Impl, Def, self, args, kwargs);
}

}  // namespace pyhost

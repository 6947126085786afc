// The extractor classes: heap types whose only base is `object`, with an instance __dict__ (the extractors keep
// their fields there, as Python classes do), weak references, and subclassing from Python.
#pragma once

#include "pyhost/dispatch.hpp"
#include "pyhost/method_table.hpp"
#include "pyhost/module.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/ref.hpp"
#include "pyhost/signature.hpp"

#include <cstddef>
#include <vector>

namespace pyhost {

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
void define_class(PyObject* module, const ClassParts& parts, const Name* names, std::size_t count, PyObject*& cls,
                  PyObject** originals);

// The module of the first class in type(self).__mro__ that `def` created.
PyObject* module_of_instance(PyObject* self, PyModuleDef* def);

// The arguments of a tp_init call as a vectorcall gives them. The keyword values are held for the call: a caller
// that kept the dict could change it while the constructor runs host code.
class InitArguments {
public:
    InitArguments(PyObject* args, PyObject* kwargs);
    PyObject* const* args() const noexcept { return stack_.data(); }
    Py_ssize_t nargs() const noexcept { return nargs_; }
    PyObject* kwnames() const noexcept { return kwnames_.get(); }

private:
    std::vector<PyObject*> stack_;
    std::vector<Ref> held_values_;
    Ref kwnames_;
    Py_ssize_t nargs_;
};

// tp_init: binds the arguments as the `__init__` method does and runs the same implementation.
template <class Module>
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return barrier_status([&] {
        PyObject* module = module_of_instance(self, Module::declaration.module_def);
        Dispatch dispatch(self, module, &dispatch_state<Module>);
        const InitArguments arguments(args, kwargs);
        constexpr std::size_t init = Module::declaration.index("__init__");
        bind_and_run<Module, init>(dispatch, arguments.args(), arguments.nargs(), arguments.kwnames());
    });
}

}  // namespace detail

template <class Module>
void define_class(PyObject* module, StateOf<Module>& state) {
    const detail::ClassParts parts = {Module::declaration.dotted_name, class_doc<Module::declaration>.data(),
                                      class_methods<Module>(), module_functions<Module>(), &detail::init_slot<Module>};
    detail::define_class(module, parts, operation_names<Module>.data(), Module::declaration.size, state.cls,
                         state.originals);
}

}  // namespace pyhost

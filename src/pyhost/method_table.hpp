// The entries from the interpreter into a module's operations, and the method tables that hold them.
#pragma once

#include "pyhost/args.hpp"
#include "pyhost/dispatch.hpp"
#include "pyhost/errors.hpp"
#include "pyhost/module.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/signature.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace pyhost {

// The module of a class made by PyType_FromModuleAndSpec.
inline PyObject* module_of(PyTypeObject* cls) {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) raise();
    return module;
}

namespace detail {

template <class Module, std::size_t I>
constexpr Owner owner_of() {
    const Operation& op = Module::declaration.operations[I];
    const bool counts_self = op.kind == Kind::init || op.kind == Kind::method;
    if constexpr (is_class_declaration<std::remove_cvref_t<decltype(Module::declaration)>>) {
        if (op.kind != Kind::function) return {Module::declaration.short_name(), counts_self};
    }
    return {nullptr, counts_self};
}

// Binds the arguments as Python would and runs operation I.
template <class Module, std::size_t I>
Ref bind_and_run(Dispatch& dispatch, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const Operation& op = Module::declaration.operations[I];
    constexpr Owner owner = owner_of<Module, I>();
    constexpr Implementation implementation = op.implementation;
    const Arguments bound = bind(owner, op.name, op.parameters, args, nargs, kwnames);
    return implementation(dispatch, bound.data());
}

template <class Module, std::size_t I>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    return barrier([&] {
        PyObject* module = module_of(defining_class);
        Dispatch dispatch(self, module, &dispatch_state<Module>);
        return bind_and_run<Module, I>(dispatch, args, PyVectorcall_NARGS(nargsf), kwnames);
    });
}

// Static methods and module functions are bound to their module, so `self` is the module.
template <class Module, std::size_t I>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return barrier([&] {
        Dispatch dispatch(nullptr, module, &dispatch_state<Module>);
        return bind_and_run<Module, I>(dispatch, args, nargs, kwnames);
    });
}

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

template <class Module, std::size_t I>
PyMethodDef method_def(bool bound_to_module) {
    constexpr const Operation& op = Module::declaration.operations[I];
    const char* doc = operation_doc<Module::declaration, I>.data();
    constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;
    switch (op.kind) {
        case Kind::init:
            return {"__init__", as_cfunction(&method_entry<Module, I>), METH_METHOD | fastcall | METH_COEXIST, doc};
        case Kind::method:
            return {op.name, as_cfunction(&method_entry<Module, I>), METH_METHOD | fastcall, doc};
        case Kind::static_method:
            // In the class only a placeholder that keeps the declaration order of the class __dict__; the
            // function bound to the module replaces it.
            return {op.name, as_cfunction(&function_entry<Module, I>),
                    bound_to_module ? fastcall : METH_STATIC | fastcall, doc};
        case Kind::function:
            break;
    }
    return {op.name, as_cfunction(&function_entry<Module, I>), fastcall, doc};
}

template <class Module, std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(bool bound_to_module, std::index_sequence<I...>) {
    constexpr const auto& operations = Module::declaration.operations;
    std::array<PyMethodDef, sizeof...(I) + 1> table{};
    std::size_t at = 0;
    auto add = [&](bool wanted, PyMethodDef def) {
        if (wanted) table[at++] = def;
    };
    (add(bound_to_module ? operations[I].kind == Kind::static_method || operations[I].kind == Kind::function
                         : operations[I].kind != Kind::function,
         method_def<Module, I>(bound_to_module)),
     ...);
    return table;
}

}  // namespace detail

// The method table of the class, in declaration order. The interpreter keeps pointers into it: it lives as long
// as the process.
template <class Module>
PyMethodDef* class_methods() {
    static auto table = detail::method_table<Module>(false, std::make_index_sequence<Module::declaration.size>{});
    return table.data();
}

// The static methods (or a module's functions) bound to the module, so that they can read module-level names.
template <class Module>
PyMethodDef* module_functions() {
    static auto table = detail::method_table<Module>(true, std::make_index_sequence<Module::declaration.size>{});
    return table.data();
}

}  // namespace pyhost

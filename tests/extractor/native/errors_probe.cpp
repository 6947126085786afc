// A module that throws C++ exceptions inside the guard and at the entry barrier, for the tests of their translation.
#include "pyhost/guard.hpp"

#include <new>
#include <stdexcept>
#include <string_view>

namespace {

pyhost::Name message{"Failed in the probe: %s"};

[[noreturn]] void throw_kind(PyObject* kind) {
    const std::string_view name = PyUnicode_AsUTF8(kind);
    if (name == "length_error") throw std::length_error("vector::reserve");
    if (name == "bad_array_new_length") throw std::bad_array_new_length();
    if (name == "runtime_error") throw std::runtime_error("a C++ runtime error");
    if (name == "int") throw 7;
    pyhost::raise(PyExc_ValueError, "unknown kind");
}

// guarded(kind): "default" when the guard logged the error and gave the default result.
PyObject* guarded(PyObject* module, PyObject* kind) {
    return pyhost::barrier([&] {
        auto result = pyhost::guarded(pyhost::Globals(module), message, [&]() -> pyhost::Ref { throw_kind(kind); });
        return pyhost::own(PyUnicode_FromString(result ? "value" : "default"));
    });
}

// unguarded(kind): the exception reaches the entry barrier.
PyObject* unguarded(PyObject*, PyObject* kind) {
    return pyhost::barrier([&]() -> pyhost::Ref { throw_kind(kind); });
}

PyMethodDef functions[] = {
    {"guarded", guarded, METH_O, nullptr},
    {"unguarded", unguarded, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe = {PyModuleDef_HEAD_INIT, "errors_probe", nullptr, -1, functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_errors_probe() { return PyModule_Create(&probe); }

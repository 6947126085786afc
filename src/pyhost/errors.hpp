// The error convention shared by every module, and the one place where C++ exceptions become Python errors.
//
// A function that fails with a Python error set throws ErrorAlreadySet. It derives from nothing, so no handler
// written for C++ errors (`catch (const std::exception&)`) can swallow a KeyboardInterrupt by accident.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyhost {

struct ErrorAlreadySet {};

[[noreturn]] inline void raise() { throw ErrorAlreadySet{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw ErrorAlreadySet{};
}

// KeyError(key), as a dict or a set raises it for a key it does not find.
[[noreturn]] void raise_key_error(PyObject* key);

// Inside a `catch (...)`: leaves the Python error that describes the exception being handled. ErrorAlreadySet
// keeps the error already set; a failed or impossible allocation becomes MemoryError; any other C++ exception
// becomes SystemError, which derives from Exception like every ordinary error.
void set_error_from_exception() noexcept;

// Runs `body` (which returns a Ref) at an entry from the interpreter and hands its result over: NULL with the
// error set on failure. No C++ exception crosses into the interpreter.
template <class Body>
PyObject* barrier(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_exception();
    }
    return nullptr;
}

// The same for slots that report failure as -1 (tp_init, Py_mod_exec).
template <class Body>
int barrier_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_error_from_exception();
    }
    return -1;
}

}  // namespace pyhost

// The barrier at every entry from the interpreter: no C++ exception crosses into Python.
#pragma once

#include "pyhost/ref.hpp"

#include <exception>
#include <new>

namespace pyhost {

// Runs `body` (which returns a Ref) and hands its result to the interpreter: NULL with the error set on failure.
// An allocation failure becomes MemoryError.
template <class Body>
PyObject* barrier(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// The same for tp_init-style slots, which report failure as -1.
template <class Body>
int barrier_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const ErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return -1;
}

}  // namespace pyhost

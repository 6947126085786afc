#include "pyhost/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace pyhost {

void raise_key_error(PyObject* key) {
    // Packed, so that a tuple key is the error's one argument and not its arguments.
    if (PyObject* arguments = PyTuple_Pack(1, key)) {
        PyErr_SetObject(PyExc_KeyError, arguments);
        Py_DECREF(arguments);
    }
    raise();
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked to grow past what it can address: an allocation that cannot succeed.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace pyhost

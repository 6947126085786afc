#include "pyhost/guard.hpp"

#include "pyhost/calls.hpp"

namespace pyhost {
namespace {

constinit Name exception_method{"exception"};

// Takes the error being raised, normalised and carrying its traceback.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Makes `exception` the one being handled, as inside an `except` block, so that sys.exc_info() and therefore
// Logger.exception see it; the caller's own handled exception comes back afterwards.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exception) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), Py_NewRef(exception),
                         PyException_GetTraceback(exception));
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_); }

private:
    PyObject* saved_type_;
    PyObject* saved_value_;
    PyObject* saved_traceback_;
};

}  // namespace

bool log_ordinary_error(const Globals& globals, const Name& message) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Ref error = take_raised_exception();
    HandlingScope handling(error.get());
    Ref logger = globals[logger_name];
    call_method(logger.get(), exception_method, message.get(), error.get());
    return true;
}

}  // namespace pyhost

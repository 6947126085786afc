// Module-level names, read from the module's namespace at call time so that patching them (tests patch `lx`,
// `logger`, `time`) takes effect at the next call.
#pragma once

#include "pyhost/ref.hpp"

namespace pyhost {

class Globals {
public:
    explicit Globals(PyObject* module) noexcept : dict_(PyModule_GetDict(module)) {}

    // NameError, as for Python code, when the module no longer has the name.
    Ref operator[](const Name& name) const {
        PyObject* value = PyDict_GetItemWithError(dict_, name.get());
        if (value != nullptr) return Ref::borrow(value);
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%s' is not defined", name.text());
        raise();
    }

private:
    PyObject* dict_;
};

}  // namespace pyhost

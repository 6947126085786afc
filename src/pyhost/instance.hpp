// What the module knows of an instance's layout beyond its type: where its __dict__ is.
#pragma once

#include "pyhost/errors.hpp"

namespace pyhost {

// The instance's __dict__ if it has one yet (borrowed).
inline PyObject* instance_dict(PyObject* self) noexcept {
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

}  // namespace pyhost

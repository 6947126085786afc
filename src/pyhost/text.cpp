#include "pyhost/call.hpp"
#include <cstring>

namespace pyhost {

Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        if (part_max > max_char) max_char = part_max;
    }
    Ref result = own(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
        if (part_length == 0) continue;
        if (PyUnicode_KIND(part) == PyUnicode_KIND(result.get())) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(result.get())) + at * PyUnicode_KIND(part),
                        PyUnicode_DATA(part), static_cast<std::size_t>(part_length) * PyUnicode_KIND(part));
        } else if (PyUnicode_CopyCharacters(result.get(), at, part, 0, part_length) < 0) {
            raise();
        }
        at += part_length;
    }
    return result;
}

}  // namespace pyhost

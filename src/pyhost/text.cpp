#include "pyhost/text.hpp"

#include <algorithm>

namespace pyhost {

Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part));
    }
    return new_str(length, max_char, [&](auto* out) {
        for (PyObject* part : parts) {
            out =
                visit_chars(part, [&](const auto* chars, Py_ssize_t count) { return std::copy_n(chars, count, out); });
        }
    });
}

}  // namespace pyhost

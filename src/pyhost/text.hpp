// Reading and writing str objects in the width they are stored in (one, two or four bytes a code point).
#pragma once

#include "pyhost/ref.hpp"

namespace pyhost {

// Calls `use(CharT* data)` with the data of a str of the given kind as Py_UCS1, Py_UCS2 or Py_UCS4.
template <class Use>
decltype(auto) with_width(int kind, void* data, Use&& use) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return use(static_cast<Py_UCS1*>(data));
        case PyUnicode_2BYTE_KIND:
            return use(static_cast<Py_UCS2*>(data));
        default:
            return use(static_cast<Py_UCS4*>(data));
    }
}

// Calls `visit(chars, length)` with the code points of an exact str, in its stored width.
template <class Visit>
decltype(auto) visit_chars(PyObject* text, Visit&& visit) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    return with_width(PyUnicode_KIND(text), PyUnicode_DATA(text),
                      [&](const auto* chars) -> decltype(auto) { return visit(chars, length); });
}

// A new str of `length` code points, none above `max_char`, written by `fill(out)` in the width it is stored in.
template <class Fill>
Ref new_str(Py_ssize_t length, Py_UCS4 max_char, Fill&& fill) {
    Ref result = own(PyUnicode_New(length, max_char));
    with_width(PyUnicode_KIND(result.get()), PyUnicode_DATA(result.get()), fill);
    return result;
}

// The empty str, which several defaults are.
inline constinit Name empty_text{""};

}  // namespace pyhost

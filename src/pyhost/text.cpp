#include "pyhost/call.hpp"

#include <cstdint>
#include <cstring>

namespace pyhost {
namespace {

template <class To>
void widen(To* out, PyObject* part) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(part);
    const void* data = PyUnicode_DATA(part);
    switch (PyUnicode_KIND(part)) {
        case PyUnicode_1BYTE_KIND:
            for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<const Py_UCS1*>(data)[i];
            break;
        case PyUnicode_2BYTE_KIND:
            for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<To>(static_cast<const Py_UCS2*>(data)[i]);
            break;
        default:
            for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<To>(static_cast<const Py_UCS4*>(data)[i]);
            break;
    }
}

template <class To>
void join_into(To* out, std::initializer_list<PyObject*> parts) {
    for (PyObject* part : parts) {
        if (PyUnicode_KIND(part) == sizeof(To)) {
            std::memcpy(out, PyUnicode_DATA(part), static_cast<std::size_t>(PyUnicode_GET_LENGTH(part)) * sizeof(To));
        } else {
            widen(out, part);
        }
        out += PyUnicode_GET_LENGTH(part);
    }
}

}  // namespace

Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        if (part_max > max_char) max_char = part_max;
    }
    Ref result = own(PyUnicode_New(length, max_char));
    void* data = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND:
            join_into(static_cast<Py_UCS1*>(data), parts);
            break;
        case PyUnicode_2BYTE_KIND:
            join_into(static_cast<Py_UCS2*>(data), parts);
            break;
        default:
            join_into(static_cast<Py_UCS4*>(data), parts);
            break;
    }
    return result;
}

Ref str_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (!PyFloat_CheckExact(value)) return own(PyObject_Str(value));
    // The shortest repr of a double is costly next to everything else an edge line needs, and the same few
    // strengths recur across a graph: remember the text of recent values.
    struct Entry {
        std::uint64_t bits;
        PyObject* text;
    };
    static Entry recent[64];
    const double number = PyFloat_AS_DOUBLE(value);
    std::uint64_t bits;
    std::memcpy(&bits, &number, sizeof bits);
    Entry& entry = recent[(bits ^ (bits >> 29) ^ (bits >> 43)) % 64];
    if (entry.text == nullptr || entry.bits != bits) {
        Ref text = own(PyObject_Str(value));
        Py_XSETREF(entry.text, text.release());
        entry.bits = bits;
    }
    return Ref::borrow(entry.text);
}

}  // namespace pyhost

#include "force/values.hpp"

#include <cstdint>
#include <cstring>

namespace force {

using pyhost::own;
using pyhost::Ref;

Ref value_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (!PyFloat_CheckExact(value)) return own(PyObject_Str(value));
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

}  // namespace force

// The keys of graph data and path edges, shared by the native road and the road through host objects, and the one
// way a nested key is read.
#pragma once

#include "pyhost/containers.hpp"
#include "pyhost/ref.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

namespace force::keys {

using pyhost::Name;

inline constinit Name nodes{"nodes"};
inline constinit Name edges{"edges"};
inline constinit Name id{"id"};
inline constinit Name name{"name"};
inline constinit Name src_node{"src_node"};
inline constinit Name dest_node{"dest_node"};
inline constinit Name meta{"meta"};
inline constinit Name strength{"strength"};
inline constinit Name source{"source"};
inline constinit Name target{"target"};

}  // namespace force::keys

namespace force {

// A value of an exact dict, or nothing when the key is absent. No host code runs for an exact dict whose keys are
// the usual strings, but any other key that hashes like `key` has its __eq__ called, and that may change or drop
// anything: the value comes back held, and the caller must hold `dict` across the call.
inline pyhost::Ref lookup(PyObject* dict, const pyhost::Name& key) {
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr && PyErr_Occurred()) pyhost::raise();
    return pyhost::Ref::borrow(value);
}

// A key of another type whose hash meets a looked-up name's is compared by its own __eq__, which may change any
// part of the graph data: only a dict whose keys are all exact strs is read without host code.
inline bool plain_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

inline bool plain_dict(PyObject* object) { return PyDict_CheckExact(object) && plain_keys(object); }

// The integer a node id stands for when it is an int, a bool or a whole float within 64 bits: such ids compare and
// hash as that integer, and no host code runs for them. Nothing for any other id (text, fractions, huge ints,
// subclasses), which only Python's own conversions and comparisons may read.
inline std::optional<std::int64_t> plain_integer(PyObject* id) {
    if (PyLong_CheckExact(id) || PyBool_Check(id)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(id, &overflow);
        if (overflow != 0) return std::nullopt;
        return number;
    }
    if (PyFloat_CheckExact(id)) {
        const double number = PyFloat_AS_DOUBLE(id);
        if (!std::isfinite(number) || std::trunc(number) != number || std::fabs(number) >= 0x1p62) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

// Whether a dict always finds `key` where it put it: its hash and equality are the interpreter's own and fixed.
inline bool finds_itself(PyObject* key) {
    return PyLong_CheckExact(key) || PyUnicode_CheckExact(key) || PyFloat_CheckExact(key) || PyBool_Check(key);
}

// `mapping.get(key, {}).get(subkey)`.
inline pyhost::Ref nested_get(PyObject* mapping, PyObject* key, const pyhost::Name& subkey) {
    using pyhost::Ref;
    if (PyDict_CheckExact(mapping)) {
        PyObject* inner = PyDict_GetItemWithError(mapping, key);
        if (inner == nullptr) {
            if (PyErr_Occurred()) pyhost::raise();
            return Ref::borrow(Py_None);
        }
        Ref held = Ref::borrow(inner);
        return pyhost::mapping_get(held.get(), subkey);
    }
    Ref empty = pyhost::own(PyDict_New());
    Ref inner = pyhost::mapping_get(mapping, key, empty.get());
    return pyhost::mapping_get(inner.get(), subkey);
}

}  // namespace force

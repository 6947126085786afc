// Reading and filling host containers as Python code would, throwing ErrorAlreadySet on failure.
#pragma once

#include "pyhost/calls.hpp"
#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>

namespace pyhost {

inline constinit Name get_method{"get"};

// `mapping.get(key)` and `mapping.get(key, default)`: a plain dict is read directly, anything else through its own
// `get`, so that a mapping with a `get` of its own behaves as it would under Python code.
inline Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = Py_None) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (value == nullptr && PyErr_Occurred()) raise();
        return Ref::borrow(value != nullptr ? value : fallback);
    }
    return call_method(mapping, get_method, key, fallback);
}

inline Ref mapping_get(PyObject* mapping, const Name& key) {
    if (PyDict_CheckExact(mapping)) return mapping_get(mapping, key.get());
    return call_method(mapping, get_method, key.get());
}

inline Ref mapping_get(PyObject* mapping, const Name& key, PyObject* fallback) {
    return mapping_get(mapping, key.get(), fallback);
}

inline Ref new_list() { return own(PyList_New(0)); }

inline void dict_set(PyObject* dict, const Name& key, PyObject* value) {
    check(PyDict_SetItem(dict, key.get(), value));
}

inline void list_append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

// Visits items as Python's iteration would until `visit` returns true; whether it did. Exact lists and tuples are
// walked by position, which is what their iterators do; a list that shrinks under the visitor ends the walk as
// its iterator would. Each item is held while the visitor runs.
template <class Visit>
bool any_of(PyObject* iterable, Visit&& visit) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            if (visit(item.get())) return true;
        }
        return false;
    }
    Ref iterator = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (visit(item.get())) return true;
    }
    if (PyErr_Occurred()) raise();
    return false;
}

// Visits every item of any iterable in iteration order.
template <class Visit>
void for_each(PyObject* iterable, Visit&& visit) {
    any_of(iterable, [&](PyObject* item) {
        visit(item);
        return false;
    });
}

// Visits the keys of a dict in order. As with the interpreter's own iteration, a dict that changes size under
// the visitor raises RuntimeError; each key is held while the visitor runs.
template <class Visit>
void for_each_key(PyObject* dict, Visit&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        Ref held = Ref::borrow(key);
        visit(held.get());
        if (PyDict_GET_SIZE(dict) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
}

// `a, b, c = iterable`, with the interpreter's messages when the count differs.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* iterable) {
    std::array<Ref, N> items;
    if (PyTuple_CheckExact(iterable) && PyTuple_GET_SIZE(iterable) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PyTuple_GET_ITEM(iterable, i));
        return items;
    }
    Ref iterator = own(PyObject_GetIter(iterable));
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
        }
    }
    Ref surplus = Ref::steal(PyIter_Next(iterator.get()));
    if (surplus) raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
    if (PyErr_Occurred()) raise();
    return items;
}

}  // namespace pyhost

// The keys of graph data and path edges, shared by the native road and the road through host objects, and the one
// way a nested key is read.
#pragma once

#include "pyhost/containers.hpp"
#include "pyhost/ref.hpp"

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
inline constinit Name empty_text{""};

}  // namespace force::keys

namespace force {

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

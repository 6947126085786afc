// The graph data as the native road reads it: plain graph data (exact dicts and lists, plain integer ids) read once
// into plain C++, every host object it keeps held.
#pragma once

#include "force/core/graph.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/ref.hpp"
#include "pyhost/text.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace force::native {

using pyhost::Ref;

// Graphs with more edges than this are built without the GIL.
inline constexpr std::size_t large_graph = 1 << 16;

// Values whose str() runs no host code.
inline bool renders_plainly(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None;
}

// The graph data as the native road sees it: node names by dense index, the kept edges with their strengths.
struct Snapshot {
    std::vector<Ref> names;  // empty where the node map has no entry
    std::vector<Edge> edges;
    std::vector<Ref> strengths;
    bool plain_text = true;  // whether every name and strength renders without host code
    std::optional<Graph> graph;

    PyObject* name_of(NodeIndex node) const { return names[node] ? names[node].get() : pyhost::empty_text.get(); }

    Snapshot() = default;
    Snapshot(Snapshot&&) = default;
    Snapshot& operator=(Snapshot&&) = default;
    ~Snapshot() {
        pyhost::drop_all(names);
        pyhost::drop_all(strengths);
    }
};

// The snapshot with its graph built (a large one without the GIL); nothing when the graph data is not plain.
std::optional<Snapshot> take_snapshot(PyObject* graph_data);

}  // namespace force::native

// The path search on host objects: the road for graph data the native road does not represent, and wherever a
// subclass overrides a step. Each step reads and builds host objects in the order Python code would, so that any
// mapping, any id and any override behaves as it would there.
#include "force/graph_data.hpp"
#include "force/native.hpp"
#include "force/operations.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"

#include <vector>

namespace force {
namespace {

using pyhost::check;
using pyhost::expect_exact;
using pyhost::new_list;
using pyhost::own;

void pop_last(PyObject* list) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (size == 0) pyhost::raise(PyExc_IndexError, "pop from empty list");
    check(PyList_SetSlice(list, size - 1, size, nullptr));
}

void set_remove(PyObject* set, PyObject* key) {
    if (check(PySet_Discard(set, key)) == 0) {
        Ref args = own(PyTuple_Pack(1, key));
        PyErr_SetObject(PyExc_KeyError, args.get());
        pyhost::raise();
    }
}

// The walk of `_dfs` from `node` (already converted to an int) with an explicit stack. Each frame is one active
// call of the recursive formulation; `stepped` is the node its current step went to, undone when that step's call
// returns. When `_dfs` itself is overridden, each step calls the override instead of pushing a frame.
void walk(Self<"_dfs"> self, PyObject* node, PyObject* current_path, PyObject* visited, PyObject* outgoing,
          PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    struct Frame {
        Ref edges;
        Ref iterator;  // for an adjacency value that is not a list
        Py_ssize_t index = 0;
        Ref stepped;
    };
    const bool recurse_inline = self.runs_own<"_dfs">();
    std::vector<Frame> frames;
    // Every frame holds what it reads, so other threads may run at a turn as they would between two bytecodes.
    pyhost::Turns turns(nullptr, 64);

    auto enter = [&](PyObject* node_id) {
        if (check(PySequence_Contains(end_nodes, node_id))) {
            Ref copy = own(PyList_GetSlice(current_path, 0, PY_SSIZE_T_MAX));
            pyhost::list_append(all_paths, copy.get());
            return;
        }
        PyObject* edges = PyDict_GetItemWithError(outgoing, node_id);
        if (edges == nullptr && PyErr_Occurred()) pyhost::raise();
        Frame frame;
        if (edges != nullptr) {
            frame.edges = Ref::borrow(edges);
            if (!PyList_CheckExact(edges)) frame.iterator = own(PyObject_GetIter(edges));
        }
        frames.push_back(std::move(frame));
    };

    enter(node);
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.stepped) {
            Ref stepped = std::move(frame.stepped);
            frame.stepped = Ref();
            pop_last(current_path);
            set_remove(visited, stepped.get());
        }
        Ref edge;
        if (frame.iterator) {
            edge = Ref::steal(PyIter_Next(frame.iterator.get()));
            if (!edge && PyErr_Occurred()) pyhost::raise();
        } else if (frame.edges && frame.index < PyList_GET_SIZE(frame.edges.get())) {
            edge = Ref::borrow(PyList_GET_ITEM(frame.edges.get(), frame.index++));
        }
        if (!edge) {
            frames.pop_back();
            continue;
        }
        turns.step();

        Ref next_node = nested_get(edge.get(), keys::dest_node.get(), keys::id);
        if (next_node.get() == Py_None || check(PySet_Contains(visited, next_node.get()))) continue;
        check(PySet_Add(visited, next_node.get()));
        Ref path_edge = self.call<"_edge_to_path_edge">(edge.get(), node_map, next_node.get());
        pyhost::list_append(current_path, path_edge.get());
        frames.back().stepped = next_node;
        if (recurse_inline) {
            Ref converted = pyhost::expect_integer(next_node.get(), "node_id");
            enter(converted.get());
        } else {
            self.call<"_dfs">(next_node.get(), current_path, visited, outgoing, end_nodes, node_map, all_paths);
        }
    }
}

}  // namespace

Ref find_paths(Self<"_find_paths"> self, PyObject* graph_data) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    Ref no_edges = new_list();
    Ref edges = pyhost::mapping_get(graph_data, keys::edges, no_edges.get());
    if (!pyhost::truthy(edges.get())) return new_list();
    if (self.owns_what_it_calls()) {
        if (std::optional<Ref> paths = native::find_paths(graph_data)) return std::move(*paths);
    }
    Ref graph = self.call<"_build_graph">(graph_data);
    auto [node_map, outgoing, incoming, start_nodes, end_nodes] = pyhost::unpack<5>(graph.get());
    Ref all_paths = new_list();
    pyhost::for_each(start_nodes.get(), [&](PyObject* start) {
        Ref current_path = new_list();
        Ref visited = own(PySet_New(nullptr));
        check(PySet_Add(visited.get(), start));
        self.call<"_dfs">(start, current_path.get(), visited.get(), outgoing.get(), end_nodes.get(), node_map.get(),
                          all_paths.get());
    });
    return all_paths;
}

Ref dfs(Self<"_dfs"> self, PyObject* node_id, PyObject* current_path, PyObject* visited, PyObject* outgoing,
        PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    Ref node = pyhost::expect_integer(node_id, "node_id");
    expect_exact(current_path, &PyList_Type, "current_path");
    expect_exact(visited, &PySet_Type, "visited");
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(end_nodes, &PyList_Type, "end_nodes");
    expect_exact(node_map, &PyDict_Type, "node_map");
    expect_exact(all_paths, &PyList_Type, "all_paths");
    walk(self, node.get(), current_path, visited, outgoing, end_nodes, node_map, all_paths);
    return Ref::borrow(Py_None);
}

Ref edge_to_path_edge(Self<"_edge_to_path_edge">, PyObject* edge, PyObject* node_map, PyObject* next_node) {
    expect_exact(edge, &PyDict_Type, "edge");
    expect_exact(node_map, &PyDict_Type, "node_map");
    Ref next = pyhost::expect_integer(next_node, "next_node");
    Ref source_id = nested_get(edge, keys::src_node.get(), keys::id);
    Ref source = pyhost::mapping_get(node_map, source_id.get(), keys::empty_text.get());
    Ref target = pyhost::mapping_get(node_map, next.get(), keys::empty_text.get());
    Ref strength = nested_get(edge, keys::meta.get(), keys::strength);
    Ref path_edge = own(PyDict_New());
    pyhost::dict_set(path_edge.get(), keys::source, source.get());
    pyhost::dict_set(path_edge.get(), keys::target, target.get());
    pyhost::dict_set(path_edge.get(), keys::strength, strength.get());
    return path_edge;
}

}  // namespace force

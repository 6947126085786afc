// The graph model on host objects: the node map, the adjacency, and the start and end nodes with their fallback.
#include "force/graph_data.hpp"
#include "force/operations.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/text.hpp"

namespace force {
namespace {

using pyhost::check;
using pyhost::expect_exact;
using pyhost::mapping_get;
using pyhost::new_list;
using pyhost::own;
using pyhost::truthy;

// `[next(iter(keys))] if keys else []`
Ref first_key_list(PyObject* keys) {
    Ref result = new_list();
    if (!truthy(keys)) return result;
    Ref iterator = own(PyObject_GetIter(keys));
    Ref first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first) {
        if (PyErr_Occurred()) pyhost::raise();
        pyhost::raise(PyExc_StopIteration, "");
    }
    pyhost::list_append(result.get(), first.get());
    return result;
}

// The keys of `keys` that are not keys of `other`, in order.
Ref keys_not_in(PyObject* keys, PyObject* other) {
    Ref result = new_list();
    pyhost::Turns turns;
    pyhost::for_each_key(keys, [&](PyObject* key) {
        turns.step();
        if (!check(PyDict_Contains(other, key))) pyhost::list_append(result.get(), key);
    });
    return result;
}

void expect_adjacency(PyObject* outgoing, PyObject* incoming) {
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(incoming, &PyDict_Type, "incoming");
}

}  // namespace

Ref build_node_map(Self<"_build_node_map">, PyObject* nodes) {
    expect_exact(nodes, &PyList_Type, "nodes");
    Ref node_map = own(PyDict_New());
    pyhost::Turns turns;
    pyhost::for_each(nodes, [&](PyObject* node) {
        turns.step();
        Ref id = mapping_get(node, keys::id);
        if (id.get() == Py_None) return;
        Ref name = mapping_get(node, keys::name, pyhost::empty_text.get());
        check(PyDict_SetItem(node_map.get(), id.get(), name.get()));
    });
    return node_map;
}

Ref build_adjacency(Self<"_build_adjacency">, PyObject* edges, PyObject* from_key, PyObject* to_key) {
    expect_exact(edges, &PyList_Type, "edges");
    expect_exact(from_key, &PyUnicode_Type, "from_key");
    expect_exact(to_key, &PyUnicode_Type, "to_key");
    Ref adjacency = own(PyDict_New());
    pyhost::Turns turns;
    pyhost::for_each(edges, [&](PyObject* edge) {
        turns.step();
        Ref source = nested_get(edge, from_key, keys::id);
        Ref target = nested_get(edge, to_key, keys::id);
        if (source.get() == Py_None || target.get() == Py_None) return;
        PyObject* leaving = PyDict_GetItemWithError(adjacency.get(), source.get());
        if (leaving == nullptr) {
            if (PyErr_Occurred()) pyhost::raise();
            Ref list = new_list();
            check(PyDict_SetItem(adjacency.get(), source.get(), list.get()));
            leaving = list.get();
            // Python code reads the new list back (`adjacency[source]`), and an id with a hash or an equality of its
            // own may not find it again: a KeyError there, where a walk from that id would never end.
            if (!finds_itself(source.get())) {
                leaving = PyDict_GetItemWithError(adjacency.get(), source.get());
                if (leaving == nullptr && !PyErr_Occurred()) pyhost::raise_key_error(source.get());
                if (leaving == nullptr) pyhost::raise();
            }
        }
        pyhost::list_append(leaving, edge);
    });
    return adjacency;
}

Ref get_start_nodes(Self<"_get_start_nodes">, PyObject* outgoing, PyObject* incoming) {
    expect_adjacency(outgoing, incoming);
    return keys_not_in(outgoing, incoming);
}

Ref get_end_nodes(Self<"_get_end_nodes">, PyObject* outgoing, PyObject* incoming) {
    expect_adjacency(outgoing, incoming);
    return keys_not_in(incoming, outgoing);
}

Ref build_graph(Self<"_build_graph"> self, PyObject* graph_data) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    Ref no_nodes = new_list();
    Ref nodes = mapping_get(graph_data, keys::nodes, no_nodes.get());
    Ref no_edges = new_list();
    Ref edges = mapping_get(graph_data, keys::edges, no_edges.get());
    Ref node_map = self.call<"_build_node_map">(nodes.get());
    Ref outgoing = self.call<"_build_adjacency">(edges.get(), keys::src_node.get(), keys::dest_node.get());
    Ref incoming = self.call<"_build_adjacency">(edges.get(), keys::dest_node.get(), keys::src_node.get());
    Ref start_nodes = self.call<"_get_start_nodes">(outgoing.get(), incoming.get());
    Ref end_nodes = self.call<"_get_end_nodes">(outgoing.get(), incoming.get());
    if (!truthy(start_nodes.get()) || !truthy(end_nodes.get())) {
        start_nodes = first_key_list(outgoing.get());
        end_nodes = first_key_list(incoming.get());
    }
    return own(PyTuple_Pack(5, node_map.get(), outgoing.get(), incoming.get(), start_nodes.get(), end_nodes.get()));
}

}  // namespace force

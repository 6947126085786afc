// The graph model, path search and text rendering on host objects: the road taken for graph data the native road
// does not represent, and wherever a subclass overrides an operation. Each step reads and builds host objects in
// the order Python code would, so that any mapping, any id and any override behaves as it would there.
#include "force/extractor.hpp"
#include "force/keys.hpp"
#include "force/native.hpp"

#include <charconv>
#include <vector>

namespace force {
namespace {

using pyhost::check;
using pyhost::expect_exact;
using pyhost::for_each;
using pyhost::mapping_get;
using pyhost::own;
using pyhost::truthy;

constinit Name graph_header{"图谱数据:"};
constinit Name start_prefix{"起点: "};
constinit Name end_prefix{"终点: "};
constinit Name indent{"  "};
constinit Name arrow{" -> "};
constinit Name open_paren{"("};
constinit Name close_paren{")"};
constinit Name newline{"\n"};

constexpr std::size_t poll_interval = 4096;

Ref new_list() { return own(PyList_New(0)); }

// `mapping.get(key, {}).get(subkey)`.
Ref nested_get(PyObject* mapping, PyObject* key, const Name& subkey) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* inner = PyDict_GetItemWithError(mapping, key);
        if (inner == nullptr) {
            if (PyErr_Occurred()) pyhost::raise();
            return Ref::borrow(Py_None);
        }
        Ref held = Ref::borrow(inner);
        return mapping_get(held.get(), subkey);
    }
    Ref empty = own(PyDict_New());
    Ref inner = mapping_get(mapping, key, empty.get());
    return mapping_get(inner.get(), subkey);
}

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
    pyhost::for_each_key(keys, [&](PyObject* key) {
        if (!check(PyDict_Contains(other, key))) pyhost::list_append(result.get(), key);
    });
    return result;
}

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

void check_signals() { check(PyErr_CheckSignals()); }

// "路径N:", written in place.
Ref path_header(std::size_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    const auto count = static_cast<Py_ssize_t>(end - digits);
    Ref header = own(PyUnicode_New(count + 3, 0xFFFF));
    auto* out = static_cast<Py_UCS2*>(PyUnicode_DATA(header.get()));
    out[0] = u'路';
    out[1] = u'径';
    for (Py_ssize_t i = 0; i < count; ++i) out[2 + i] = static_cast<Py_UCS2>(digits[i]);
    out[count + 2] = u':';
    return header;
}

// The walk of `_dfs` from `node` (already converted to an int) with an explicit stack. Each frame is one active
// call of the recursive formulation; `stepped` is the node its current step went to, undone when that step's call
// returns. When `_dfs` itself is overridden, each step calls the override instead of pushing a frame.
void walk(Call& call, PyObject* node, PyObject* current_path, PyObject* visited, PyObject* outgoing,
          PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    struct Frame {
        Ref edges;
        Ref iterator;  // for an adjacency value that is not a list
        Py_ssize_t index = 0;
        Ref stepped;
    };
    const bool recurse_through_instance = !call.native(Op::dfs);
    std::vector<Frame> frames;
    std::size_t steps = 0;

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
        if (++steps % poll_interval == 0) check_signals();

        Ref next_node = nested_get(edge.get(), keys::dest_node.get(), keys::id);
        if (next_node.get() == Py_None || check(PySet_Contains(visited, next_node.get()))) continue;
        check(PySet_Add(visited, next_node.get()));
        Ref path_edge =
            invoke<edge_to_path_edge, Op::edge_to_path_edge>(call, edge.get(), node_map, next_node.get());
        pyhost::list_append(current_path, path_edge.get());
        frames.back().stepped = next_node;
        if (recurse_through_instance) {
            call.through_instance(Op::dfs, next_node.get(), current_path, visited, outgoing, end_nodes, node_map,
                                  all_paths);
        } else {
            Ref converted = pyhost::expect_integer(next_node.get(), "node_id");
            enter(converted.get());
        }
    }
}

}  // namespace

Ref build_node_map(Call&, PyObject* nodes) {
    expect_exact(nodes, &PyList_Type, "nodes");
    Ref node_map = own(PyDict_New());
    for_each(nodes, [&](PyObject* node) {
        Ref id = mapping_get(node, keys::id);
        if (id.get() == Py_None) return;
        Ref name = mapping_get(node, keys::name, keys::empty_text.get());
        check(PyDict_SetItem(node_map.get(), id.get(), name.get()));
    });
    return node_map;
}

Ref build_adjacency(Call&, PyObject* edges, PyObject* from_key, PyObject* to_key) {
    expect_exact(edges, &PyList_Type, "edges");
    expect_exact(from_key, &PyUnicode_Type, "from_key");
    expect_exact(to_key, &PyUnicode_Type, "to_key");
    Ref adjacency = own(PyDict_New());
    for_each(edges, [&](PyObject* edge) {
        Ref source = nested_get(edge, from_key, keys::id);
        Ref target = nested_get(edge, to_key, keys::id);
        if (source.get() == Py_None || target.get() == Py_None) return;
        PyObject* leaving = PyDict_GetItemWithError(adjacency.get(), source.get());
        if (leaving == nullptr) {
            if (PyErr_Occurred()) pyhost::raise();
            Ref list = new_list();
            check(PyDict_SetItem(adjacency.get(), source.get(), list.get()));
            leaving = list.get();
        }
        pyhost::list_append(leaving, edge);
    });
    return adjacency;
}

Ref get_start_nodes(Call&, PyObject* outgoing, PyObject* incoming) {
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(incoming, &PyDict_Type, "incoming");
    return keys_not_in(outgoing, incoming);
}

Ref get_end_nodes(Call&, PyObject* outgoing, PyObject* incoming) {
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(incoming, &PyDict_Type, "incoming");
    return keys_not_in(incoming, outgoing);
}

Ref build_graph(Call& call, PyObject* graph_data) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    Ref no_nodes = new_list();
    Ref nodes = mapping_get(graph_data, keys::nodes, no_nodes.get());
    Ref no_edges = new_list();
    Ref edges = mapping_get(graph_data, keys::edges, no_edges.get());
    Ref node_map = invoke<build_node_map, Op::build_node_map>(call, nodes.get());
    Ref outgoing = invoke<build_adjacency, Op::build_adjacency>(call, edges.get(), keys::src_node.get(),
                                                                keys::dest_node.get());
    Ref incoming = invoke<build_adjacency, Op::build_adjacency>(call, edges.get(), keys::dest_node.get(),
                                                                keys::src_node.get());
    Ref start_nodes = invoke<get_start_nodes, Op::get_start_nodes>(call, outgoing.get(), incoming.get());
    Ref end_nodes = invoke<get_end_nodes, Op::get_end_nodes>(call, outgoing.get(), incoming.get());
    if (!truthy(start_nodes.get()) || !truthy(end_nodes.get())) {
        start_nodes = first_key_list(outgoing.get());
        end_nodes = first_key_list(incoming.get());
    }
    return own(PyTuple_Pack(5, node_map.get(), outgoing.get(), incoming.get(), start_nodes.get(), end_nodes.get()));
}

Ref find_paths(Call& call, PyObject* graph_data) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    Ref no_edges = new_list();
    Ref edges = mapping_get(graph_data, keys::edges, no_edges.get());
    if (!truthy(edges.get())) return new_list();
    if (call.native({Op::build_graph, Op::build_node_map, Op::build_adjacency, Op::get_start_nodes,
                     Op::get_end_nodes, Op::dfs, Op::edge_to_path_edge})) {
        if (std::optional<Ref> paths = native::find_paths(graph_data)) return std::move(*paths);
    }
    Ref graph = invoke<build_graph, Op::build_graph>(call, graph_data);
    auto [node_map, outgoing, incoming, start_nodes, end_nodes] = pyhost::unpack<5>(graph.get());
    Ref all_paths = new_list();
    for_each(start_nodes.get(), [&](PyObject* start) {
        Ref current_path = new_list();
        Ref visited = own(PySet_New(nullptr));
        check(PySet_Add(visited.get(), start));
        invoke<dfs, Op::dfs>(call, start, current_path.get(), visited.get(), outgoing.get(), end_nodes.get(),
                             node_map.get(), all_paths.get());
    });
    return all_paths;
}

Ref dfs(Call& call, PyObject* node_id, PyObject* current_path, PyObject* visited, PyObject* outgoing,
        PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    Ref node = pyhost::expect_integer(node_id, "node_id");
    expect_exact(current_path, &PyList_Type, "current_path");
    expect_exact(visited, &PySet_Type, "visited");
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(end_nodes, &PyList_Type, "end_nodes");
    expect_exact(node_map, &PyDict_Type, "node_map");
    expect_exact(all_paths, &PyList_Type, "all_paths");
    walk(call, node.get(), current_path, visited, outgoing, end_nodes, node_map, all_paths);
    return Ref::borrow(Py_None);
}

Ref edge_to_path_edge(Call&, PyObject* edge, PyObject* node_map, PyObject* next_node) {
    expect_exact(edge, &PyDict_Type, "edge");
    expect_exact(node_map, &PyDict_Type, "node_map");
    Ref next = pyhost::expect_integer(next_node, "next_node");
    Ref source_id = nested_get(edge, keys::src_node.get(), keys::id);
    Ref source = mapping_get(node_map, source_id.get(), keys::empty_text.get());
    Ref target = mapping_get(node_map, next.get(), keys::empty_text.get());
    Ref strength = nested_get(edge, keys::meta.get(), keys::strength);
    Ref path_edge = own(PyDict_New());
    pyhost::dict_set(path_edge.get(), keys::source, source.get());
    pyhost::dict_set(path_edge.get(), keys::target, target.get());
    pyhost::dict_set(path_edge.get(), keys::strength, strength.get());
    return path_edge;
}

Ref format_graph_data(Call& call, PyObject* graph_data, PyObject* paths) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    expect_exact(paths, &PyList_Type, "paths");
    if (call.native({Op::build_node_map, Op::build_graph, Op::build_adjacency, Op::get_start_nodes,
                     Op::get_end_nodes, Op::append_start_end, Op::append_paths, Op::format_edge_line})) {
        if (std::optional<Ref> text = native::format_graph_data(graph_data, paths)) return std::move(*text);
    }
    Ref lines = own(PyList_New(0));
    pyhost::list_append(lines.get(), graph_header.get());
    Ref no_nodes = new_list();
    Ref nodes = mapping_get(graph_data, keys::nodes, no_nodes.get());
    Ref node_map = invoke<build_node_map, Op::build_node_map>(call, nodes.get());
    Ref graph = invoke<build_graph, Op::build_graph>(call, graph_data);
    auto [unused_map, unused_outgoing, unused_incoming, start_nodes, end_nodes] = pyhost::unpack<5>(graph.get());
    invoke<append_start_end, Op::append_start_end>(call, lines.get(), start_nodes.get(), end_nodes.get(),
                                                   node_map.get());
    invoke<append_paths, Op::append_paths>(call, lines.get(), paths);
    return own(PyUnicode_Join(newline.get(), lines.get()));
}

Ref append_start_end(Call&, PyObject* lines, PyObject* start_nodes, PyObject* end_nodes, PyObject* node_map) {
    expect_exact(lines, &PyList_Type, "lines");
    expect_exact(start_nodes, &PyList_Type, "start_nodes");
    expect_exact(end_nodes, &PyList_Type, "end_nodes");
    expect_exact(node_map, &PyDict_Type, "node_map");
    auto append_named = [&](PyObject* nodes, const Name& prefix) {
        if (PyList_GET_SIZE(nodes) == 0) return;
        Ref first = Ref::borrow(PyList_GET_ITEM(nodes, 0));
        Ref name = mapping_get(node_map, first.get(), keys::empty_text.get());
        Ref text = pyhost::str_of(name.get());
        pyhost::list_append(lines, pyhost::concat({prefix.get(), text.get()}).get());
    };
    append_named(start_nodes, start_prefix);
    append_named(end_nodes, end_prefix);
    return Ref::borrow(Py_None);
}

Ref append_paths(Call& call, PyObject* lines, PyObject* paths) {
    expect_exact(lines, &PyList_Type, "lines");
    expect_exact(paths, &PyList_Type, "paths");
    if (PyList_GET_SIZE(paths) == 0) return Ref::borrow(Py_None);
    pyhost::list_append(lines, keys::empty_text.get());
    std::size_t number = 0;
    for_each(paths, [&](PyObject* path) {
        pyhost::list_append(lines, path_header(++number).get());
        for_each(path, [&](PyObject* edge) {
            pyhost::list_append(lines, invoke<format_edge_line, Op::format_edge_line>(call, edge).get());
        });
    });
    return Ref::borrow(Py_None);
}

Ref format_edge_line(Call&, PyObject* edge) {
    expect_exact(edge, &PyDict_Type, "edge");
    Ref source = mapping_get(edge, keys::source, keys::empty_text.get());
    Ref target = mapping_get(edge, keys::target, keys::empty_text.get());
    Ref strength = mapping_get(edge, keys::strength);
    Ref source_text = pyhost::str_of(source.get());
    Ref target_text = pyhost::str_of(target.get());
    if (strength.get() == Py_None) {
        return pyhost::concat({indent.get(), source_text.get(), arrow.get(), target_text.get()});
    }
    Ref strength_text = pyhost::str_of(strength.get());
    return pyhost::concat({indent.get(), source_text.get(), arrow.get(), target_text.get(), open_paren.get(),
                           strength_text.get(), close_paren.get()});
}

}  // namespace force

// The path search on host objects: the road for graph data the native road does not represent, and wherever a
// subclass overrides a step. Each step reads and builds host objects in the order Python code would, so that any
// mapping, any id and any override behaves as it would there; only a dead end met again is not walked again.
#include "force/core/dead_ends.hpp"
#include "force/core/flat_map.hpp"
#include "force/graph_data.hpp"
#include "force/native.hpp"
#include "force/operations.hpp"
#include "force/prepared_graph.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/text.hpp"

#include <cstdint>
#include <optional>
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
    if (check(PySet_Discard(set, key)) == 0) pyhost::raise_key_error(key);
}

// Whether `set` holds this very object.
bool holds(PyObject* set, PyObject* object) {
    Ref iterator = own(PyObject_GetIter(set));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (item.get() == object) return true;
    }
    if (PyErr_Occurred()) pyhost::raise();
    return false;
}

// The walk of `_dfs` from a node, with an explicit stack: each frame is one active call of the recursive
// formulation, `stepped` the node its current step went to, undone when that step's call returns. When `_dfs`
// itself is overridden, each step calls the override instead of pushing a frame.
//
// One walk serves every start node of a search, and learns its dead ends (DeadEnds) by the list of edges the graph
// gives a node, which is what the walk reads of it; the lists are held, so that no other list takes their place.
// Where each node of the current path was entered is kept by value for plain integer ids and by identity for any
// other. A step not taken is failsafe when taking it could neither fail nor run host code (steps_cleanly): a later
// walk that takes it must fail where this one would have.
class Walk {
public:
    void from_node(Self<"_dfs"> self, PyObject* node_id, PyObject* node, PyObject* current_path, PyObject* visited,
                   PyObject* outgoing, PyObject* end_nodes, PyObject* node_map, PyObject* all_paths);

private:
    using Ends = DeadEnds<Ref>;

    // A node as the record of the current path keys it: by value or by identity.
    struct NodeKey {
        bool by_value;
        std::uint64_t bits;
    };
    static NodeKey key_of(PyObject* id) {
        if (const std::optional<std::int64_t> number = plain_integer(id)) {
            return {true, static_cast<std::uint64_t>(*number)};
        }
        return {false, reinterpret_cast<std::uintptr_t>(id)};
    }
    IntMap& levels(const NodeKey& key) { return key.by_value ? levels_by_value_ : levels_by_identity_; }
    Ends::Level level_of(PyObject* id) const {
        const NodeKey key = key_of(id);
        return (key.by_value ? levels_by_value_ : levels_by_identity_).find(key.bits).value_or(Ends::outside);
    }
    bool dead(PyObject* edges) const { return dead_.find(reinterpret_cast<std::uintptr_t>(edges)).has_value(); }
    void mark_dead(const Ref& edges) {
        if (!edges) return;
        dead_.emplace(reinterpret_cast<std::uintptr_t>(edges.get()), 0);
        dead_lists_.push_back(edges);
    }
    static bool steps_cleanly(bool own_path_edges, PyObject* edge, PyObject* next_node);
    bool lost(PyObject* visited, PyObject* next_node) const;

    Ends dead_ends_;
    IntMap dead_;
    std::vector<Ref> dead_lists_;
    // A node's level while it is on the current path, `outside` otherwise.
    IntMap levels_by_value_;
    IntMap levels_by_identity_;
};

// Whether taking the step along `edge` could neither fail nor run host code: the module's own path edge, made of
// plain dicts, plain integer ids and a source id that hashes without host code.
bool Walk::steps_cleanly(bool own_path_edges, PyObject* edge, PyObject* next_node) {
    if (!own_path_edges || !plain_integer(next_node) || !plain_dict(edge)) return false;
    const Ref meta = lookup(edge, keys::meta);
    if (meta && !plain_dict(meta.get())) return false;
    const Ref source = lookup(edge, keys::src_node);
    if (!source) return true;
    if (!plain_dict(source.get())) return false;
    const Ref source_id = lookup(source.get(), keys::id);
    return !source_id || source_id.get() == Py_None || PyUnicode_CheckExact(source_id.get()) ||
           plain_integer(source_id.get());
}

// Whether the set of visited nodes, which did not find `next_node`, holds it all the same, where the walk entered it
// on its current path: its hash or its equality changes from one call to the next. Python code would step into it
// again, and again at every turn after, without end; had it come back, removing the node would have failed. Only
// an id the walk keeps by identity can be so: a plain integer's hash never changes. One that host code took out of
// the set is not held, and the walk goes on as Python code would.
bool Walk::lost(PyObject* visited, PyObject* next_node) const {
    if (key_of(next_node).by_value || level_of(next_node) == Ends::outside) return false;
    return holds(visited, next_node);
}

void Walk::from_node(Self<"_dfs"> self, PyObject* node_id, PyObject* node, PyObject* current_path, PyObject* visited,
                     PyObject* outgoing, PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    struct Frame {
        Ref edges;
        Ref iterator;  // for an adjacency value that is not a list
        Py_ssize_t index = 0;
        Ref stepped;
        NodeKey key;
        bool placed = false;  // whether the record holds this frame's level, and not an earlier frame's
        Ends::Mark mark;
    };
    const bool recurse_inline = self.is_own<"_dfs">();
    const bool own_path_edges = self.is_own<"_edge_to_path_edge">();
    std::vector<Frame> frames;
    frames.reserve(16);
    // Every frame holds what it reads, so other threads may run at a turn as they would between two bytecodes.
    pyhost::Turns turns(nullptr, 64);

    // `id` as the step gave it, `converted` as the walk looks it up.
    auto enter = [&](PyObject* id, PyObject* converted) {
        if (check(PySequence_Contains(end_nodes, converted))) {
            Ref copy = own(PyList_GetSlice(current_path, 0, PY_SSIZE_T_MAX));
            pyhost::list_append(all_paths, copy.get());
            if (!frames.empty()) frames.back().mark.found = true;
            return;
        }
        PyObject* edges = PyDict_GetItemWithError(outgoing, converted);
        if (edges == nullptr && PyErr_Occurred()) pyhost::raise();
        const bool listed = edges != nullptr && (PyList_CheckExact(edges) || PyTuple_CheckExact(edges));
        if (listed && dead(edges)) return;
        Frame frame;
        frame.mark = dead_ends_.enter();
        if (edges != nullptr) {
            frame.edges = Ref::borrow(edges);
            if (!PyList_CheckExact(edges)) frame.iterator = own(PyObject_GetIter(edges));
            // What any other iterable gives next time is its own affair.
            if (!listed) Ends::met(frame.mark, Ends::outside, false);
        }
        frame.key = key_of(id);
        std::uint32_t& level = levels(frame.key).slot(frame.key.bits);
        if (level == Ends::outside) {
            level = static_cast<Ends::Level>(frames.size() + 1);
            frame.placed = true;
        }
        frames.push_back(std::move(frame));
    };
    auto leave = [&] {
        Frame& frame = frames.back();
        const auto level = static_cast<Ends::Level>(frames.size());
        if (frame.placed) levels(frame.key).slot(frame.key.bits) = Ends::outside;
        Ends::Mark* parent = frames.size() > 1 ? &frames[frames.size() - 2].mark : nullptr;
        Ref key = frame.iterator ? Ref() : std::move(frame.edges);
        dead_ends_.leave(std::move(key), frame.mark, level, parent, [&](const Ref& edges) { mark_dead(edges); });
        frames.pop_back();
    };
    enter(node_id, node);
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.stepped) {
            Ref stepped = std::move(frame.stepped);
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
            leave();
            continue;
        }
        turns.step();

        Ref next_node = nested_get(edge.get(), keys::dest_node.get(), keys::id);
        if (next_node.get() == Py_None) continue;
        if (check(PySet_Contains(visited, next_node.get()))) {
            // Once a step below could have failed, whether this one could changes nothing.
            Ends::met(frame.mark, level_of(next_node.get()),
                      frame.mark.unsafe_below || steps_cleanly(own_path_edges, edge.get(), next_node.get()));
            continue;
        }
        if (lost(visited, next_node.get())) pyhost::raise_key_error(next_node.get());
        check(PySet_Add(visited, next_node.get()));
        Ref path_edge = self.call<"_edge_to_path_edge">(edge.get(), node_map, next_node.get());
        pyhost::list_append(current_path, path_edge.get());
        frames.back().stepped = next_node;
        if (recurse_inline) {
            Ref converted = pyhost::expect_integer(next_node.get(), "node_id");
            enter(next_node.get(), converted.get());
        } else {
            self.call<"_dfs">(next_node.get(), current_path, visited, outgoing, end_nodes, node_map, all_paths);
            // What the override walked from there is not known here.
            Ends::met(frames.back().mark, Ends::outside, false);
        }
    }
}

// `_dfs` after its argument checks, on a walk that may go on from earlier start nodes.
Ref walk_from(Self<"_dfs"> self, Walk& walk, PyObject* node_id, PyObject* current_path, PyObject* visited,
              PyObject* outgoing, PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    Ref node = pyhost::expect_integer(node_id, "node_id");
    expect_exact(current_path, &PyList_Type, "current_path");
    expect_exact(visited, &PySet_Type, "visited");
    expect_exact(outgoing, &PyDict_Type, "outgoing");
    expect_exact(end_nodes, &PyList_Type, "end_nodes");
    expect_exact(node_map, &PyDict_Type, "node_map");
    expect_exact(all_paths, &PyList_Type, "all_paths");
    walk.from_node(self, node_id, node.get(), current_path, visited, outgoing, end_nodes, node_map, all_paths);
    return Ref::borrow(Py_None);
}

}  // namespace

Ref find_paths(Self<"_find_paths"> self, PyObject* graph_data) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    return find_paths_in(self, PreparedGraph(graph_data, self.reaches_only_own()));
}

Ref find_paths_in(Self<"_find_paths"> self, const PreparedGraph& prepared) {
    if (const native::Snapshot* snapshot = prepared.snapshot()) return native::find_paths(*snapshot);
    PyObject* graph_data = prepared.data();
    Ref no_edges = new_list();
    Ref edges = pyhost::mapping_get(graph_data, keys::edges, no_edges.get());
    if (!pyhost::truthy(edges.get())) return new_list();
    Ref graph = self.call<"_build_graph">(graph_data);
    auto [node_map, outgoing, incoming, start_nodes, end_nodes] = pyhost::unpack<5>(graph.get());
    Ref all_paths = new_list();
    // The module's own walk goes on from one start node to the next, knowing the dead ends it has met.
    std::optional<Walk> walk;
    if (self.is_own<"_dfs">()) walk.emplace();
    pyhost::for_each(start_nodes.get(), [&](PyObject* start) {
        Ref current_path = new_list();
        Ref visited = own(PySet_New(nullptr));
        check(PySet_Add(visited.get(), start));
        if (walk) {
            walk_from(self.callee<"_dfs">(), *walk, start, current_path.get(), visited.get(), outgoing.get(),
                      end_nodes.get(), node_map.get(), all_paths.get());
        } else {
            self.call<"_dfs">(start, current_path.get(), visited.get(), outgoing.get(), end_nodes.get(), node_map.get(),
                              all_paths.get());
        }
    });
    return all_paths;
}

Ref dfs(Self<"_dfs"> self, PyObject* node_id, PyObject* current_path, PyObject* visited, PyObject* outgoing,
        PyObject* end_nodes, PyObject* node_map, PyObject* all_paths) {
    Walk walk;
    return walk_from(self, walk, node_id, current_path, visited, outgoing, end_nodes, node_map, all_paths);
}

Ref edge_to_path_edge(Self<"_edge_to_path_edge">, PyObject* edge, PyObject* node_map, PyObject* next_node) {
    expect_exact(edge, &PyDict_Type, "edge");
    expect_exact(node_map, &PyDict_Type, "node_map");
    Ref next = pyhost::expect_integer(next_node, "next_node");
    Ref source_id = nested_get(edge, keys::src_node.get(), keys::id);
    Ref source = pyhost::mapping_get(node_map, source_id.get(), pyhost::empty_text.get());
    Ref target = pyhost::mapping_get(node_map, next.get(), pyhost::empty_text.get());
    Ref strength = nested_get(edge, keys::meta.get(), keys::strength);
    Ref path_edge = own(PyDict_New());
    pyhost::dict_set(path_edge.get(), keys::source, source.get());
    pyhost::dict_set(path_edge.get(), keys::target, target.get());
    pyhost::dict_set(path_edge.get(), keys::strength, strength.get());
    return path_edge;
}

}  // namespace force

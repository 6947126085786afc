#include "force/native/snapshot.hpp"

#include "force/core/flat_map.hpp"
#include "force/graph_data.hpp"

#include <cstdint>
#include <limits>

namespace force::native {
namespace {

using pyhost::Name;
using pyhost::Turns;

enum class IdKind { absent, plain, other };

// Node ids as the native road keys them: plain integers (see plain_integer), which can stand for each other.
// Anything else takes the road through host objects, which converts and compares as Python code does.
IdKind read_id(PyObject* holder, std::int64_t& id) {
    const Ref held = lookup(holder, keys::id);
    PyObject* value = held.get();
    if (value == nullptr || value == Py_None) return IdKind::absent;
    const std::optional<std::int64_t> number = plain_integer(value);
    if (!number) return IdKind::other;
    id = *number;
    return IdKind::plain;
}

// Dense node indices for ids, in order of first sight. Ids are mostly small non-negative integers, which a
// direct table serves; the rest go to a hash map. An id is only ever in one of the two.
class NodeIndexer {
public:
    explicit NodeIndexer(std::vector<Ref>& names) : names_(names) {}

    NodeIndex operator()(std::int64_t id) {
        const auto next = static_cast<NodeIndex>(names_.size());
        const bool dense = id >= 0 && static_cast<std::uint64_t>(id) < dense_limit();
        if (dense && static_cast<std::size_t>(id) < table_.size() && table_[id] != 0) return table_[id] - 1;
        if (hashed_.size() != 0) {
            if (auto found = hashed_.find(static_cast<std::uint64_t>(id))) return *found;
        }
        if (dense) {
            if (static_cast<std::size_t>(id) >= table_.size()) table_.resize(static_cast<std::size_t>(id) + 1, 0);
            table_[id] = next + 1;
        } else {
            hashed_.emplace(static_cast<std::uint64_t>(id), next);
        }
        names_.emplace_back();
        return next;
    }

private:
    // The table stays within a few entries per node, whatever the ids.
    std::uint64_t dense_limit() const noexcept { return 4096 + 4 * static_cast<std::uint64_t>(names_.size()); }

    std::vector<NodeIndex> table_;  // id -> index + 1, 0 where unseen
    IntMap hashed_;
    std::vector<Ref>& names_;
};

// An edge end, read as `edge.get(key, {}).get("id")` reads it; false when it is not plain.
bool read_end(PyObject* edge, const Name& key, IdKind& kind, std::int64_t& id) {
    const Ref end = lookup(edge, key);
    if (!end) {
        kind = IdKind::absent;
        return true;
    }
    if (!plain_dict(end.get())) return false;
    kind = read_id(end.get(), id);
    return kind != IdKind::other;
}

}  // namespace

// Every list and dict is held while it is read: see lookup().
std::optional<Snapshot> take_snapshot(PyObject* graph_data) {
    if (!plain_keys(graph_data)) return std::nullopt;
    const Ref held_nodes = lookup(graph_data, keys::nodes);
    const Ref held_edges = lookup(graph_data, keys::edges);
    PyObject* nodes = held_nodes.get();
    PyObject* edges = held_edges.get();
    if ((nodes != nullptr && !PyList_CheckExact(nodes)) || (edges != nullptr && !PyList_CheckExact(edges))) {
        return std::nullopt;
    }
    Snapshot snapshot;
    const Py_ssize_t node_count = nodes != nullptr ? PyList_GET_SIZE(nodes) : 0;
    const Py_ssize_t edge_count = edges != nullptr ? PyList_GET_SIZE(edges) : 0;
    snapshot.names.reserve(static_cast<std::size_t>(node_count + edge_count / 2 + 2));
    snapshot.edges.reserve(static_cast<std::size_t>(edge_count));
    snapshot.strengths.reserve(static_cast<std::size_t>(edge_count));
    NodeIndexer node_index(snapshot.names);
    auto plain_text = [&](PyObject* value) {
        if (!renders_plainly(value)) snapshot.plain_text = false;
    };
    // Each list is read afresh at every step, and what was read of it is held: other threads that run at a turn
    // may change the graph data as they could under Python code reading it.
    Turns turns;

    for (Py_ssize_t i = 0; nodes != nullptr && i < PyList_GET_SIZE(nodes); ++i) {
        turns.step();
        const Ref node = Ref::borrow(PyList_GET_ITEM(nodes, i));
        if (!plain_dict(node.get())) return std::nullopt;
        std::int64_t id = 0;
        const IdKind kind = read_id(node.get(), id);
        if (kind == IdKind::other) return std::nullopt;
        if (kind == IdKind::absent) continue;
        Ref name = lookup(node.get(), keys::name);
        Ref& slot = snapshot.names[node_index(id)];
        slot = name ? std::move(name) : Ref::borrow(pyhost::empty_text.get());
        plain_text(slot.get());
    }

    for (Py_ssize_t i = 0; edges != nullptr && i < PyList_GET_SIZE(edges); ++i) {
        turns.step();
        const Ref held_edge = Ref::borrow(PyList_GET_ITEM(edges, i));
        PyObject* edge = held_edge.get();
        if (!plain_dict(edge)) return std::nullopt;
        IdKind source_kind;
        IdKind target_kind;
        std::int64_t source = 0;
        std::int64_t target = 0;
        if (!read_end(edge, keys::src_node, source_kind, source) ||
            !read_end(edge, keys::dest_node, target_kind, target)) {
            return std::nullopt;
        }
        if (source_kind == IdKind::absent || target_kind == IdKind::absent) continue;
        const Ref meta = lookup(edge, keys::meta);
        Ref strength;
        if (meta) {
            if (!plain_dict(meta.get())) return std::nullopt;
            strength = lookup(meta.get(), keys::strength);
        }
        if (!strength) strength = Ref::borrow(Py_None);
        if (snapshot.edges.size() == std::numeric_limits<EdgeIndex>::max()) return std::nullopt;
        snapshot.edges.push_back({node_index(source), node_index(target)});
        plain_text(strength.get());
        snapshot.strengths.push_back(std::move(strength));
    }
    pyhost::WithoutGil free;
    if (snapshot.edges.size() > large_graph) free.release();
    snapshot.graph.emplace(snapshot.names.size(), snapshot.edges);
    free.take_back();
    return snapshot;
}

}  // namespace force::native

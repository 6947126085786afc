#include "force/native.hpp"

#include "force/core/flat_map.hpp"
#include "force/core/graph.hpp"
#include "force/core/paths.hpp"
#include "force/core/text.hpp"
#include "force/graph_data.hpp"
#include "force/text.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/text.hpp"

#include <array>
#include <cstdint>
#include <limits>

namespace force::native {
namespace {

using pyhost::CollectorPause;
using pyhost::Name;
using pyhost::own;
using pyhost::Turns;
using pyhost::WithoutGil;

// Graphs with more edges than this are built without the GIL.
constexpr std::size_t large_graph = 1 << 16;

// Values whose str() runs no host code.
bool renders_plainly(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None;
}

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

// The graph data as the native road sees it: node names by dense index, the kept edges with their strengths.
struct Snapshot {
    std::vector<Ref> names;  // empty where the node map has no entry
    std::vector<Edge> edges;
    std::vector<Ref> strengths;
    bool plain_text = true;
    std::optional<Graph> graph;

    PyObject* name_of(NodeIndex node) const { return names[node] ? names[node].get() : keys::empty_text.get(); }

    Snapshot() = default;
    Snapshot(Snapshot&&) = default;
    Snapshot& operator=(Snapshot&&) = default;
    ~Snapshot() {
        pyhost::drop_all(names);
        pyhost::drop_all(strengths);
    }
};

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
    NodeIndexer index_of(snapshot.names);
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
        Ref& slot = snapshot.names[index_of(id)];
        slot = name ? std::move(name) : Ref::borrow(keys::empty_text.get());
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
        snapshot.edges.push_back({index_of(source), index_of(target)});
        plain_text(strength.get());
        snapshot.strengths.push_back(std::move(strength));
    }
    return snapshot;
}

// The snapshot's graph; a large one is built without the GIL, which `free` then keeps given up.
void build_graph(Snapshot& snapshot, WithoutGil& free) {
    if (snapshot.edges.size() > large_graph) free.release();
    snapshot.graph.emplace(snapshot.names.size(), snapshot.edges);
}

Ref new_path_edge(const Snapshot& snapshot, EdgeIndex index) {
    const Edge& edge = snapshot.edges[index];
    Ref path_edge = own(PyDict_New());
    pyhost::dict_set(path_edge.get(), keys::source, snapshot.name_of(edge.source));
    pyhost::dict_set(path_edge.get(), keys::target, snapshot.name_of(edge.target));
    pyhost::dict_set(path_edge.get(), keys::strength, snapshot.strengths[index].get());
    return path_edge;
}

void put_text(text::Arena& arena, PyObject* text) {
    pyhost::visit_chars(text, [&](const auto* chars, Py_ssize_t length) {
        for (Py_ssize_t i = 0; i < length; ++i) arena.put(chars[i]);
    });
}

// The rendered text of values, each distinct object converted once. Rendering an object that is not plain runs
// its own __str__, which may change anything: `host_code_ran` tells the caller to drop what it cached.
class ValueTexts {
public:
    explicit ValueTexts(text::Arena& arena) : arena_(arena) {}

    text::Span operator()(PyObject* value) {
        const auto key = reinterpret_cast<std::uintptr_t>(value);
        if (auto cached = cache_.find(key)) return spans_[*cached];
        const bool plain = renders_plainly(value);
        Ref rendered = value_text(value);
        const std::size_t start = arena_.open();
        put_text(arena_, rendered.get());
        const text::Span span = arena_.close(start);
        if (!plain) {
            host_code_ran = true;
            return span;
        }
        cache_.emplace(key, static_cast<std::uint32_t>(spans_.size()));
        spans_.push_back(span);
        pinned_.push_back(Ref::borrow(value));
        return span;
    }

    void clear() {
        cache_.clear();
        spans_.clear();
        pinned_.clear();
        host_code_ran = false;
    }

    bool host_code_ran = false;

private:
    text::Arena& arena_;
    IntMap cache_;
    std::vector<text::Span> spans_;
    std::vector<Ref> pinned_;
};

// The str of each plain value: an exact str is its own; any other plain value's is made once and held.
class StrsOf {
public:
    PyObject* operator()(PyObject* value) {
        if (PyUnicode_CheckExact(value)) return value;
        const auto key = reinterpret_cast<std::uintptr_t>(value);
        if (auto found = made_index_.find(key)) return made_[*found].get();
        made_index_.emplace(key, static_cast<std::uint32_t>(made_.size()));
        made_.push_back(value_text(value));
        return made_.back().get();
    }

private:
    IntMap made_index_;
    std::vector<Ref> made_;
};

// Writes the pieces of a line straight into the arena, values given as str objects. Needs no GIL: the strs are
// held by whoever gave them, and a str never changes.
struct ArenaWriter {
    text::Arena& arena;
    void put(const text::Format& format) { arena.put(format); }
    void put(PyObject* text) { put_text(arena, text); }
};

text::Span edge_line(text::Arena& arena, text::Span source, text::Span target, const text::Span* strength) {
    const std::size_t start = arena.open();
    text::put_edge_line(arena, source, target, strength);
    return arena.close(start);
}

// The header and the start and end lines, naming the first start and end node.
void put_head(text::Document& document, text::Arena& arena, ValueTexts& texts, const Snapshot& snapshot) {
    document.add_line(arena.add(text::header));
    auto named = [&](const text::Format& label, std::span<const NodeIndex> nodes) {
        if (nodes.empty()) return;
        const text::Span name = texts(snapshot.name_of(nodes.front()));
        const std::size_t start = arena.open();
        text::put_labelled(arena, label, name);
        document.add_line(arena.close(start));
    };
    named(text::start_label, snapshot.graph->start_nodes());
    named(text::end_label, snapshot.graph->end_nodes());
}

// A long text is measured and written without the GIL; only making the str object needs it.
Ref to_str(const text::Document& document) {
    const bool long_text = document.line_count() > large_graph;
    std::size_t length;
    char32_t max_char;
    {
        WithoutGil free;
        if (long_text) free.release();
        length = document.length();
        max_char = document.max_char();
    }
    return pyhost::new_str(static_cast<Py_ssize_t>(length), max_char, [&](auto* out) {
        WithoutGil free;
        if (long_text) free.release();
        document.write(out);
    });
}

// Edge lines of host path edges. Paths from the search share the path edges of their common prefixes, so an edge
// is most often the very dict that stood at the same position of the previous path; and the path edges of one
// graph edge carry the same three values, so one line serves all of them.
class PathLines {
public:
    PathLines(text::Document& document, text::Arena& arena, ValueTexts& texts)
        : document_(document), arena_(arena), texts_(texts) {}

    std::uint32_t operator()(PyObject* edge, std::size_t position) {
        if (position < previous_.size() && previous_[position].edge.get() == edge) return previous_[position].line;
        if (!PyDict_CheckExact(edge)) pyhost::expect_exact(edge, &PyDict_Type, "edge");
        const bool plain = plain_keys(edge);
        Ref held_source = lookup(edge, keys::source);
        Ref held_target = lookup(edge, keys::target);
        Ref held_strength = lookup(edge, keys::strength);
        if (!held_source) held_source = Ref::borrow(keys::empty_text.get());
        if (!held_target) held_target = Ref::borrow(keys::empty_text.get());
        if (!held_strength) held_strength = Ref::borrow(Py_None);
        const std::array<std::uint64_t, 3> values = {identity(held_source.get()), identity(held_target.get()),
                                                     identity(held_strength.get())};
        std::uint32_t line;
        if (auto cached = by_values_.find(values)) {
            line = *cached;
        } else {
            const text::Span source_text = texts_(held_source.get());
            const text::Span target_text = texts_(held_target.get());
            std::optional<text::Span> strength_text;
            if (held_strength.get() != Py_None) strength_text = texts_(held_strength.get());
            line = static_cast<std::uint32_t>(document_.line_table().size());
            document_.line_table().push_back(
                edge_line(arena_, source_text, target_text, strength_text ? &*strength_text : nullptr));
            // Only values that rendered without host code are pinned by `texts_`, and only those may key a line.
            if (!texts_.host_code_ran && plain) by_values_.emplace(values, line);
        }
        if (texts_.host_code_ran || !plain) {
            // Host code may have changed any path edge: read every edge afresh from here on.
            forget();
            return line;
        }
        if (position >= previous_.size()) previous_.resize(position + 1);
        previous_[position] = {Ref::borrow(edge), line};
        return line;
    }

    void forget() {
        previous_.clear();
        by_values_.clear();
        texts_.clear();
    }

private:
    struct Seen {
        Ref edge;
        std::uint32_t line = 0;
    };

    static std::uint64_t identity(PyObject* object) { return reinterpret_cast<std::uintptr_t>(object); }

    text::Document& document_;
    text::Arena& arena_;
    ValueTexts& texts_;
    std::vector<Seen> previous_;
    FlatMap<std::array<std::uint64_t, 3>> by_values_;
};

}  // namespace

std::optional<Ref> find_paths(PyObject* graph_data) {
    std::optional<Snapshot> snapshot = take_snapshot(graph_data);
    if (!snapshot) return std::nullopt;
    // Counting first costs a walk without the GIL, small next to the objects the paths become, and gives a list of
    // exactly the right size: appending would leave up to an eighth of it unused, and a result that cannot fit
    // fails before any object is made.
    std::size_t count = 0;
    {
        WithoutGil free;
        build_graph(*snapshot, free);
        for_each_path(
            *snapshot->graph, [&](std::span<const EdgeIndex>, std::size_t) { ++count; }, [&] { free.poll(); },
            poll_interval);
    }
    Ref all_paths = own(PyList_New(static_cast<Py_ssize_t>(count)));
    // Until every slot is filled, threads that run at a turn must not come across the list.
    PyObject_GC_UnTrack(all_paths.get());
    std::vector<Ref> steps;  // the path edge made for each step of the current path
    CollectorPause pause;
    Turns turns(&pause);
    Turns walk_turns(&pause, 1);  // between the objects, for long stretches of the walk that make none
    Py_ssize_t filled = 0;
    for_each_path(
        *snapshot->graph,
        [&](std::span<const EdgeIndex> path, std::size_t unchanged) {
            turns.step();
            if (steps.size() < path.size()) steps.resize(path.size());
            for (std::size_t i = unchanged; i < path.size(); ++i) {
                steps[i] = new_path_edge(*snapshot, path[i]);
                turns.step();
            }
            Ref list = own(PyList_New(static_cast<Py_ssize_t>(path.size())));
            for (std::size_t i = 0; i < path.size(); ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(steps[i].get()));
            }
            PyList_SET_ITEM(all_paths.get(), filled++, list.release());
        },
        [&] { walk_turns.step(); }, poll_interval);
    PyObject_GC_Track(all_paths.get());
    return all_paths;
}

std::optional<Ref> format_graph_data(PyObject* graph_data, PyObject* paths) {
    std::optional<Snapshot> snapshot = take_snapshot(graph_data);
    if (!snapshot) return std::nullopt;
    {
        WithoutGil free;
        build_graph(*snapshot, free);
    }
    text::Arena arena;
    text::Document document(arena);
    ValueTexts texts(arena);
    put_head(document, arena, texts, *snapshot);
    PathLines lines(document, arena, texts);
    if (texts.host_code_ran) lines.forget();
    Turns turns;
    pyhost::for_each(paths, [&](PyObject* path) {
        document.begin_path();
        // Iterating anything but a list or tuple runs host code, which may change the path edges.
        const bool plain_path = PyList_CheckExact(path) || PyTuple_CheckExact(path);
        std::size_t position = 0;
        pyhost::for_each(path, [&](PyObject* edge) {
            // Other threads, like host code, may have changed any path edge.
            if (turns.step() || !plain_path) lines.forget();
            document.add_path_line(lines(edge, position++));
        });
    });
    return to_str(document);
}

struct Search::Parts {
    Snapshot snapshot;
    text::Arena arena;
    text::Document document{arena};
    std::vector<std::uint8_t> used;  // edges that appear on some path
};

Search::Search(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
Search::~Search() = default;

std::unique_ptr<Search> Search::run(PyObject* graph_data) {
    std::optional<Snapshot> snapshot = take_snapshot(graph_data);
    if (!snapshot || !snapshot->plain_text) return nullptr;
    auto parts = std::make_unique<Parts>();
    parts->snapshot = std::move(*snapshot);
    parts->used.assign(parts->snapshot.edges.size(), 0);
    text::Document& document = parts->document;
    std::vector<std::uint8_t>& used = parts->used;
    WithoutGil free;
    build_graph(parts->snapshot, free);
    // Until render(), a path's lines are edge indices.
    for_each_path(
        *parts->snapshot.graph,
        [&](std::span<const EdgeIndex> path, std::size_t) {
            document.begin_path();
            for (EdgeIndex edge : path) {
                used[edge] = 1;
                document.add_path_line(edge);
            }
        },
        [&] { free.poll(); }, poll_interval);
    free.take_back();
    return std::unique_ptr<Search>(new Search(std::move(parts)));
}

std::size_t Search::path_count() const noexcept { return parts_->document.path_count(); }

Ref Search::render() {
    Parts& parts = *parts_;
    const Snapshot& snapshot = parts.snapshot;
    ValueTexts texts(parts.arena);
    put_head(parts.document, parts.arena, texts, snapshot);
    // With the GIL, the str of every value an edge line shows: an exact str is its own, any other plain value's
    // is made here. Without it, the edge lines are written from those strs, into room made for them at once.
    StrsOf strs;
    std::vector<std::array<PyObject*, 3>> shown(snapshot.edges.size());
    text::Length room;
    {
        Turns turns;
        for (EdgeIndex edge = 0; edge < snapshot.edges.size(); ++edge) {
            if (!parts.used[edge]) continue;
            turns.step();
            const Edge& ends = snapshot.edges[edge];
            PyObject* strength = snapshot.strengths[edge].get();
            const auto& line_strs =
                shown[edge] = {strs(snapshot.name_of(ends.source)), strs(snapshot.name_of(ends.target)),
                               strength != Py_None ? strs(strength) : nullptr};
            std::array<std::size_t, 3> lengths{};
            for (std::size_t i = 0; i < 3; ++i) {
                if (line_strs[i] != nullptr) lengths[i] = static_cast<std::size_t>(PyUnicode_GET_LENGTH(line_strs[i]));
            }
            text::put_edge_line(room, lengths[0], lengths[1], line_strs[2] != nullptr ? &lengths[2] : nullptr);
        }
    }
    std::vector<text::Span>& table = parts.document.line_table();
    {
        WithoutGil free;
        if (snapshot.edges.size() > large_graph) free.release();
        parts.arena.reserve_more(room.chars);
        table.assign(snapshot.edges.size(), text::Span{});
        ArenaWriter writer{parts.arena};
        for (EdgeIndex edge = 0; edge < snapshot.edges.size(); ++edge) {
            if (!parts.used[edge]) continue;
            const auto& [source, target, strength] = shown[edge];
            const std::size_t start = parts.arena.open();
            text::put_edge_line(writer, source, target, strength != nullptr ? &strength : nullptr);
            table[edge] = parts.arena.close(start);
        }
    }
    return to_str(parts.document);
}

}  // namespace force::native

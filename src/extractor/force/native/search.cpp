// The native road's entry points: the path search, the graph text, and predict's search and rendering in one.
#include "force/native.hpp"

#include "force/core/paths.hpp"
#include "force/core/text.hpp"
#include "force/graph_data.hpp"
#include "force/native/rendering.hpp"
#include "force/native/snapshot.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"

#include <array>
#include <cstdint>

namespace force::native {
namespace {

using pyhost::CollectorPause;
using pyhost::own;
using pyhost::Turns;
using pyhost::WithoutGil;

// The walks on plain C++ data look at the clock every this many steps.
constexpr std::size_t poll_interval = 4096;

Ref new_path_edge(const Snapshot& snapshot, EdgeIndex index) {
    const Edge& edge = snapshot.edges[index];
    Ref path_edge = own(PyDict_New());
    pyhost::dict_set(path_edge.get(), keys::source, snapshot.name_of(edge.source));
    pyhost::dict_set(path_edge.get(), keys::target, snapshot.name_of(edge.target));
    pyhost::dict_set(path_edge.get(), keys::strength, snapshot.strengths[index].get());
    return path_edge;
}

}  // namespace

Ref find_paths(const Snapshot& snapshot) {
    // Counting first costs a walk without the GIL, small next to the objects the paths become, and gives a list of
    // exactly the right size: appending would leave up to an eighth of it unused, and a result that cannot fit
    // fails before any object is made.
    std::size_t count = 0;
    {
        WithoutGil free;
        for_each_path(
            *snapshot.graph, [&](std::span<const EdgeIndex>, std::size_t) { ++count; }, [&] { free.poll(); },
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
        *snapshot.graph,
        [&](std::span<const EdgeIndex> path, std::size_t unchanged) {
            turns.step();
            if (steps.size() < path.size()) steps.resize(path.size());
            for (std::size_t i = unchanged; i < path.size(); ++i) {
                steps[i] = new_path_edge(snapshot, path[i]);
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

Ref format_graph_data(const Snapshot& snapshot, PyObject* paths) {
    text::Arena arena;
    text::Document document(arena);
    ValueTexts texts(arena);
    put_head(document, arena, texts, snapshot);
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
    text::Arena arena;
    text::Document document{arena};
    std::vector<std::uint8_t> used;  // edges that appear on some path
};

Search::Search(const Snapshot& snapshot) : snapshot_(snapshot), parts_(std::make_unique<Parts>()) {
    text::Document& document = parts_->document;
    std::vector<std::uint8_t>& used = parts_->used;
    used.assign(snapshot.edges.size(), 0);
    WithoutGil free;
    // Until render(), a path's lines are edge indices.
    for_each_path(
        *snapshot.graph,
        [&](std::span<const EdgeIndex> path, std::size_t) {
            document.begin_path();
            for (EdgeIndex edge : path) {
                used[edge] = 1;
                document.add_path_line(edge);
            }
        },
        [&] { free.poll(); }, poll_interval);
}

Search::~Search() = default;

std::size_t Search::path_count() const noexcept { return parts_->document.path_count(); }

Ref Search::render() {
    Parts& parts = *parts_;
    const Snapshot& snapshot = snapshot_;
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

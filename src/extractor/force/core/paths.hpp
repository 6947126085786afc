// Depth-first enumeration of the start-to-end paths on plain C++ data, with an explicit stack: the depth of a
// walk is bounded by memory, not by the C stack.
#pragma once

#include "force/core/dead_ends.hpp"
#include "force/core/graph.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace force {

// Walks from every start node in order, following each node's outgoing edges in edge order, never entering a node
// already on the current path, and stopping at the first end node reached (a start node that is an end node gives
// the empty path). For every path found, calls `on_path(edges, unchanged)`: the path's edges, and how many of its
// leading edges are the same steps of the walk as in the previous path (so a caller can share what it built for
// them). `poll()` is called every `poll_interval` steps and may throw to abandon the walk. A node found to be a dead
// end is not entered again, which finds the same paths.
template <class OnPath, class Poll>
void for_each_path(const Graph& graph, OnPath&& on_path, Poll&& poll, std::size_t poll_interval = 4096) {
    using Ends = DeadEnds<NodeIndex>;
    struct Frame {
        NodeIndex node;
        std::size_t next;
        Ends::Mark mark;
    };
    // Each node's level while it is on the current path, `dead` once it is known to be a dead end.
    constexpr Ends::Level dead = std::numeric_limits<Ends::Level>::max();
    std::vector<Ends::Level> state(graph.node_count(), Ends::outside);
    Ends dead_ends;
    auto mark_dead = [&](NodeIndex node) { state[node] = dead; };
    std::vector<Frame> frames;
    std::vector<EdgeIndex> path;
    std::size_t unchanged = 0;
    std::size_t steps = 0;

    auto enter = [&](NodeIndex node) {
        frames.push_back({node, 0, dead_ends.enter()});
        state[node] = static_cast<Ends::Level>(frames.size());
    };

    for (NodeIndex start : graph.start_nodes()) {
        if (graph.is_end(start)) {
            on_path(std::span<const EdgeIndex>(path), std::size_t{0});
            unchanged = 0;
            continue;
        }
        if (state[start] == dead) continue;
        enter(start);
        while (!frames.empty()) {
            Frame& frame = frames.back();
            std::span<const EdgeIndex> edges = graph.outgoing(frame.node);
            if (frame.next == edges.size()) {
                const auto level = static_cast<Ends::Level>(frames.size());
                state[frame.node] = Ends::outside;
                Ends::Mark* parent = frames.size() > 1 ? &frames[frames.size() - 2].mark : nullptr;
                dead_ends.leave(frame.node, frame.mark, level, parent, mark_dead);
                frames.pop_back();
                if (!path.empty()) {
                    path.pop_back();
                    if (path.size() < unchanged) unchanged = path.size();
                }
                continue;
            }
            const EdgeIndex edge = edges[frame.next++];
            const NodeIndex next = graph.edge(edge).target;
            if (const Ends::Level level = state[next]; level != Ends::outside) {
                if (level != dead) Ends::met(frame.mark, level, true);
                continue;
            }
            if (++steps % poll_interval == 0) poll();
            path.push_back(edge);
            if (graph.is_end(next)) {
                on_path(std::span<const EdgeIndex>(path), unchanged);
                frame.mark.found = true;
                path.pop_back();
                unchanged = path.size();
                continue;
            }
            enter(next);
        }
        unchanged = 0;
    }
}

}  // namespace force

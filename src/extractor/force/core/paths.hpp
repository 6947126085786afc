// Depth-first enumeration of the start-to-end paths on plain C++ data, with an explicit stack: the depth of a
// walk is bounded by memory, not by the C stack.
#pragma once

#include "force/core/dead_ends.hpp"
#include "force/core/graph.hpp"

#include <cstddef>
#include <cstdint>
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
    struct Frame {
        NodeIndex node;
        std::size_t next;
    };
    using Level = DeadEnds<NodeIndex>::Level;
    std::vector<Level> level_on_path(graph.node_count(), DeadEnds<NodeIndex>::outside);
    std::vector<std::uint8_t> dead(graph.node_count(), 0);
    DeadEnds<NodeIndex> dead_ends;
    auto mark_dead = [&](NodeIndex node) { dead[node] = 1; };
    std::vector<Frame> frames;
    std::vector<EdgeIndex> path;
    std::size_t unchanged = 0;
    std::size_t steps = 0;

    auto enter = [&](NodeIndex node) {
        dead_ends.enter(node);
        level_on_path[node] = dead_ends.level();
        frames.push_back({node, 0});
    };

    for (NodeIndex start : graph.start_nodes()) {
        if (graph.is_end(start)) {
            on_path(std::span<const EdgeIndex>(path), std::size_t{0});
            unchanged = 0;
            continue;
        }
        if (dead[start]) continue;
        enter(start);
        while (!frames.empty()) {
            Frame& frame = frames.back();
            std::span<const EdgeIndex> edges = graph.outgoing(frame.node);
            if (frame.next == edges.size()) {
                level_on_path[frame.node] = DeadEnds<NodeIndex>::outside;
                frames.pop_back();
                dead_ends.leave(mark_dead);
                if (!path.empty()) {
                    path.pop_back();
                    if (path.size() < unchanged) unchanged = path.size();
                }
                continue;
            }
            const EdgeIndex edge = edges[frame.next++];
            const NodeIndex next = graph.edge(edge).target;
            if (const Level level = level_on_path[next]; level != DeadEnds<NodeIndex>::outside) {
                dead_ends.met(level, true);
                continue;
            }
            if (dead[next]) continue;
            if (++steps % poll_interval == 0) poll();
            path.push_back(edge);
            if (graph.is_end(next)) {
                on_path(std::span<const EdgeIndex>(path), unchanged);
                dead_ends.found_path();
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

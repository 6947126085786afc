// Depth-first enumeration of the start-to-end paths on plain C++ data, with an explicit stack: the depth of a
// walk is bounded by memory, not by the C stack.
#pragma once

#include "force/core/graph.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace force {

// Walks from every start node in order, following each node's outgoing edges in edge order, never entering a node
// already on the current path, and stopping at the first end node reached (a start node that is an end node gives
// the empty path). For every path found, calls `on_path(edges, unchanged)`: the path's edges, and how many of its
// leading edges are the same steps of the walk as in the previous path (so a caller can share what it built for
// them). `poll()` is called every `poll_interval` steps and may throw to abandon the walk.
template <class OnPath, class Poll>
void for_each_path(const Graph& graph, OnPath&& on_path, Poll&& poll, std::size_t poll_interval = 4096) {
    struct Frame {
        NodeIndex node;
        std::size_t next;
    };
    std::vector<std::uint8_t> on_path_now(graph.node_count(), 0);
    std::vector<Frame> frames;
    std::vector<EdgeIndex> path;
    std::size_t unchanged = 0;
    std::size_t steps = 0;

    for (NodeIndex start : graph.start_nodes()) {
        if (graph.is_end(start)) {
            on_path(std::span<const EdgeIndex>(path), std::size_t{0});
            unchanged = 0;
            continue;
        }
        on_path_now[start] = 1;
        frames.push_back({start, 0});
        while (!frames.empty()) {
            Frame& frame = frames.back();
            std::span<const EdgeIndex> edges = graph.outgoing(frame.node);
            if (frame.next == edges.size()) {
                on_path_now[frame.node] = 0;
                frames.pop_back();
                if (!path.empty()) {
                    path.pop_back();
                    if (path.size() < unchanged) unchanged = path.size();
                }
                continue;
            }
            const EdgeIndex edge = edges[frame.next++];
            const NodeIndex next = graph.edge(edge).target;
            if (on_path_now[next]) continue;
            if (++steps % poll_interval == 0) poll();
            path.push_back(edge);
            if (graph.is_end(next)) {
                on_path(std::span<const EdgeIndex>(path), unchanged);
                path.pop_back();
                unchanged = path.size();
                continue;
            }
            on_path_now[next] = 1;
            frames.push_back({next, 0});
        }
        unchanged = 0;
    }
}

}  // namespace force

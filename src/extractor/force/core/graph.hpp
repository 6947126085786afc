// The event graph as the path search walks it, on plain C++ data: dense node and edge indices, outgoing
// adjacency in edge order, and the start and end nodes after the fallback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace force {

using NodeIndex = std::uint32_t;
using EdgeIndex = std::uint32_t;

struct Edge {
    NodeIndex source;
    NodeIndex target;
};

class Graph {
public:
    // `edges` are the kept edges (both ends known), in the order of the graph data.
    Graph(std::size_t node_count, std::vector<Edge> edges);

    std::size_t node_count() const noexcept { return is_end_.size(); }
    const Edge& edge(EdgeIndex index) const noexcept { return edges_[index]; }
    std::span<const EdgeIndex> outgoing(NodeIndex node) const noexcept {
        return {out_edges_.data() + out_offsets_[node], out_edges_.data() + out_offsets_[node + 1]};
    }
    std::span<const NodeIndex> start_nodes() const noexcept { return start_nodes_; }
    std::span<const NodeIndex> end_nodes() const noexcept { return end_nodes_; }
    bool is_end(NodeIndex node) const noexcept { return is_end_[node] != 0; }

private:
    std::vector<Edge> edges_;
    std::vector<std::size_t> out_offsets_;
    std::vector<EdgeIndex> out_edges_;
    std::vector<NodeIndex> start_nodes_;
    std::vector<NodeIndex> end_nodes_;
    std::vector<std::uint8_t> is_end_;
};

}  // namespace force

#include "force/core/graph.hpp"

namespace force {

Graph::Graph(std::size_t node_count, std::vector<Edge> edges)
    : edges_(std::move(edges)), out_offsets_(node_count + 1, 0), out_edges_(edges_.size()), is_end_(node_count, 0) {
    // Keys of the outgoing and incoming adjacency in the order they first occur among the edges.
    constexpr std::uint8_t has_out = 1;
    constexpr std::uint8_t has_in = 2;
    std::vector<std::uint8_t> seen(node_count, 0);
    std::vector<NodeIndex> out_keys;
    std::vector<NodeIndex> in_keys;
    for (const Edge& edge : edges_) {
        if (!(seen[edge.source] & has_out)) {
            seen[edge.source] |= has_out;
            out_keys.push_back(edge.source);
        }
        if (!(seen[edge.target] & has_in)) {
            seen[edge.target] |= has_in;
            in_keys.push_back(edge.target);
        }
        ++out_offsets_[edge.source + 1];
    }
    for (std::size_t node = 0; node < node_count; ++node) out_offsets_[node + 1] += out_offsets_[node];
    std::vector<std::size_t> fill(out_offsets_.begin(), out_offsets_.end() - 1);
    for (EdgeIndex index = 0; index < edges_.size(); ++index) out_edges_[fill[edges_[index].source]++] = index;

    for (NodeIndex node : out_keys) {
        if (!(seen[node] & has_in)) start_nodes_.push_back(node);
    }
    for (NodeIndex node : in_keys) {
        if (!(seen[node] & has_out)) end_nodes_.push_back(node);
    }
    // Either list empty (a cycle through every source, say): walk from the first edge's source to its target.
    if (start_nodes_.empty() || end_nodes_.empty()) {
        start_nodes_.assign(out_keys.begin(), out_keys.begin() + (out_keys.empty() ? 0 : 1));
        end_nodes_.assign(in_keys.begin(), in_keys.begin() + (in_keys.empty() ? 0 : 1));
    }
    for (NodeIndex node : end_nodes_) is_end_[node] = 1;
}

}  // namespace force

// The path search and the graph text on plain C++ data, with no interpreter: `make test-core` builds and runs this.
#include "force/core/graph.hpp"
#include "force/core/paths.hpp"
#include "force/core/text.hpp"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using force::Edge;
using force::EdgeIndex;
using force::Graph;
using force::NodeIndex;
namespace text = force::text;

int passed = 0;
int failed = 0;
int failures_in_case = 0;
const char* current_case = "";

void expect(bool ok, const char* what, int line) {
    if (ok) return;
    ++failures_in_case;
    std::fprintf(stderr, "FAILED %s (line %d): %s\n", current_case, line, what);
}
#define EXPECT(condition) expect((condition), #condition, __LINE__)

template <class Body>
void run(const char* name, Body&& body) {
    current_case = name;
    failures_in_case = 0;
    body();
    ++(failures_in_case == 0 ? passed : failed);
}

using Paths = std::vector<std::vector<EdgeIndex>>;

// What the walk gives: its paths, how many leading steps each shares with the one before, and how many steps it took.
struct Walked {
    Paths paths;
    std::vector<std::size_t> unchanged;
    std::size_t steps = 0;
};

Walked walk(const Graph& graph) {
    Walked walked;
    force::for_each_path(
        graph,
        [&](std::span<const EdgeIndex> path, std::size_t unchanged) {
            walked.paths.emplace_back(path.begin(), path.end());
            walked.unchanged.push_back(unchanged);
        },
        [&] { ++walked.steps; }, 1);
    return walked;
}

bool same_nodes(std::span<const NodeIndex> nodes, std::vector<NodeIndex> expected) {
    return std::vector<NodeIndex>(nodes.begin(), nodes.end()) == expected;
}

// A, B, C, D; edges in this order: A->B, A->C (0.3), B->D (0.8), C->D, B->C.
Graph worked_graph() { return Graph(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {1, 2}}); }

void walks() {
    run("the walk follows the edges in their order, depth first", [] {
        const Graph graph = worked_graph();
        EXPECT(same_nodes(graph.start_nodes(), {0}) && same_nodes(graph.end_nodes(), {3}));
        const Walked walked = walk(graph);
        EXPECT((walked.paths == Paths{{0, 2}, {0, 4, 3}, {1, 3}}));
        // A->B is the same step in the second path as in the first; the third starts afresh.
        EXPECT((walked.unchanged == std::vector<std::size_t>{0, 1, 0}));
    });
    run("cycles", [] {
        // Every node on a cycle: the walk runs from the first edge's source to its target.
        const Graph ring(2, {{0, 1}, {1, 0}});
        EXPECT(same_nodes(ring.start_nodes(), {0}) && same_nodes(ring.end_nodes(), {1}));
        EXPECT((walk(ring).paths == Paths{{0}}));
        // A loop: the start node is the end node, and its path has no edge.
        EXPECT((walk(Graph(1, {{0, 0}})).paths == Paths{{}}));
        // A step back onto the current path is not taken.
        EXPECT((walk(Graph(4, {{0, 1}, {1, 2}, {2, 1}, {2, 3}})).paths == Paths{{0, 1, 3}}));
    });
    run("dead ends", [] {
        // From A, B finds no end only because A is on the path; entered straight from the start, it leads to E
        // through A. A walk that took B for a dead end the first time would lose the second path.
        const Graph bypass(4, {{0, 1}, {1, 2}, {2, 1}, {1, 3}, {0, 2}});
        EXPECT((walk(bypass).paths == Paths{{0, 3}, {4, 2, 3}}));

        // 300 start nodes into one chain of 1,000 nodes that ends in a cycle, and one way to an end: the chain is
        // walked once, not once for each start node.
        constexpr NodeIndex chain = 1000;
        constexpr NodeIndex starts = 300;
        std::vector<Edge> edges;
        for (NodeIndex node = 0; node + 1 < chain; ++node) edges.push_back({node, node + 1});
        edges.push_back({chain - 1, chain - 2});
        for (NodeIndex start = chain; start < chain + starts; ++start) edges.push_back({start, 0});
        const auto way_out = static_cast<EdgeIndex>(edges.size());
        edges.push_back({chain + starts - 1, chain + starts});
        const Graph graph(chain + starts + 1, edges);
        EXPECT(graph.start_nodes().size() == starts && same_nodes(graph.end_nodes(), {chain + starts}));
        const Walked walked = walk(graph);
        EXPECT((walked.paths == Paths{{way_out}}));
        EXPECT(walked.steps < 2 * (graph.node_count() + edges.size()));
    });
}

// The graph text of the document, as the code points it writes in units of CharT.
template <class CharT>
std::u32string written(const text::Document& document) {
    std::vector<CharT> units(document.length());
    document.write(units.data());
    return std::u32string(units.begin(), units.end());
}

text::Span line(text::Arena& arena, std::u32string_view source, std::u32string_view target,
                const std::u32string_view* strength) {
    const std::size_t start = arena.open();
    text::put_edge_line(arena, source, target, strength);
    return arena.close(start);
}

void head(text::Document& document, text::Arena& arena, std::u32string_view start, std::u32string_view end) {
    document.add_line(arena.add(text::header));
    for (const auto& [label, name] : {std::pair{&text::start_label, start}, std::pair{&text::end_label, end}}) {
        const std::size_t from = arena.open();
        text::put_labelled(arena, *label, name);
        document.add_line(arena.close(from));
    }
}

void texts() {
    run("the graph text of the worked graph's paths", [] {
        text::Arena arena;
        text::Document document(arena);
        head(document, arena, U"A", U"D");
        const std::u32string_view low = U"0.3";
        const std::u32string_view high = U"0.8";
        auto& lines = document.line_table();
        lines = {line(arena, U"A", U"B", nullptr), line(arena, U"A", U"C", &low), line(arena, U"B", U"D", &high),
                 line(arena, U"C", U"D", nullptr), line(arena, U"B", U"C", nullptr)};
        for (const std::vector<std::uint32_t>& path : {std::vector<std::uint32_t>{0, 2}, {0, 4, 3}, {1, 3}}) {
            document.begin_path();
            for (std::uint32_t edge : path) document.add_path_line(edge);
        }
        const std::u32string expected =
            U"图谱数据:\n起点: A\n终点: D\n\n路径1:\n  A -> B\n  B -> D(0.8)\n路径2:\n  A -> B\n  B -> C\n  C -> D\n"
            U"路径3:\n  A -> C(0.3)\n  C -> D";
        EXPECT(document.max_char() <= 0xFFFF);
        EXPECT(written<std::uint16_t>(document) == expected);
        EXPECT(written<std::uint32_t>(document) == expected);
    });
    run("numbers, empty names and wide characters", [] {
        text::Arena arena;
        text::Document document(arena);
        head(document, arena, U"", U"𝔸");
        const std::u32string_view none;
        document.line_table() = {line(arena, none, U"𝔸", &none)};
        for (int path = 0; path < 10; ++path) {
            document.begin_path();
            if (path == 9) document.add_path_line(0);
        }
        const std::u32string text = written<std::uint32_t>(document);
        EXPECT(document.max_char() == U'𝔸');
        EXPECT(text.starts_with(U"图谱数据:\n起点: \n终点: 𝔸\n\n路径1:\n路径2:\n"));
        EXPECT(text.ends_with(U"\n路径9:\n路径10:\n   -> 𝔸()"));
        // Nothing past the end: the text is exactly as long as the document said.
        EXPECT(text.size() == document.length() && text.find(U'\0') == std::u32string::npos);
    });
    run("no path: the head alone", [] {
        text::Arena arena;
        text::Document document(arena);
        document.add_line(arena.add(text::header));
        EXPECT(written<std::uint16_t>(document) == U"图谱数据:");
    });
}

}  // namespace

int main() {
    walks();
    texts();
    std::printf("force-core: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

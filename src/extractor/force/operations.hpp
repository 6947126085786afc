// ForceExtractor's operations, each declared once in the table below: its name, parameters, doc, implementation
// and the operations it calls through the instance (pyhost/dispatch.hpp tells how those calls are made).
//
// The native road (native.hpp) replaces everything an operation calls, directly or not, and is taken only when
// all of that is the module's own (prepared_graph.hpp): what it covers is derived from the table, and an
// implementation that calls an operation its entry does not list fails to compile.
#pragma once

#include "pyhost/dispatch.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/ref.hpp"
#include "service/service.hpp"

namespace force {

using pyhost::Name;
using pyhost::Ref;

struct Module;

// An operation running for one call from the host: `self` as Python code would see it.
template <pyhost::FixedString Name>
using Self = pyhost::Self<Module, Name>;

// The constructor (module.cpp).
Ref init(Self<"__init__"> self, PyObject* config, PyObject* prompt, PyObject* examples, PyObject* review_prompt,
         PyObject* review_examples);
// predict: from the graph data to the force word (pipeline.cpp).
Ref predict(Self<"predict"> self, PyObject* graph_data, PyObject* article_text);
Ref call_llm(Self<"_call_llm"> self, PyObject* text);
Ref extract_force(Self<"_extract_force"> self, PyObject* result, PyObject* article_text);
Ref get_first_force(Self<"_get_first_force"> self, PyObject* result);
Ref review_with_article(Self<"_review_with_article"> self, PyObject* article_text);
// The path search (paths.cpp).
Ref find_paths(Self<"_find_paths"> self, PyObject* graph_data);
Ref dfs(Self<"_dfs"> self, PyObject* node_id, PyObject* current_path, PyObject* visited, PyObject* outgoing,
        PyObject* end_nodes, PyObject* node_map, PyObject* all_paths);
Ref edge_to_path_edge(Self<"_edge_to_path_edge"> self, PyObject* edge, PyObject* node_map, PyObject* next_node);
// What `_find_paths` and `_format_graph_data` do once their arguments are checked, on graph data read once
// (prepared_graph.hpp): predict runs them so when both steps are the module's own.
class PreparedGraph;
Ref find_paths_in(Self<"_find_paths"> self, const PreparedGraph& prepared);
Ref format_graph_data_in(Self<"_format_graph_data"> self, const PreparedGraph& prepared, PyObject* paths);
// The graph model (graph.cpp).
Ref build_graph(Self<"_build_graph"> self, PyObject* graph_data);
Ref build_node_map(Self<"_build_node_map"> self, PyObject* nodes);
Ref build_adjacency(Self<"_build_adjacency"> self, PyObject* edges, PyObject* from_key, PyObject* to_key);
Ref get_start_nodes(Self<"_get_start_nodes"> self, PyObject* outgoing, PyObject* incoming);
Ref get_end_nodes(Self<"_get_end_nodes"> self, PyObject* outgoing, PyObject* incoming);
// The graph text (text.cpp).
Ref format_graph_data(Self<"_format_graph_data"> self, PyObject* graph_data, PyObject* paths);
Ref append_start_end(Self<"_append_start_end"> self, PyObject* lines, PyObject* start_nodes, PyObject* end_nodes,
                     PyObject* node_map);
Ref append_paths(Self<"_append_paths"> self, PyObject* lines, PyObject* paths);
Ref format_edge_line(Self<"_format_edge_line"> self, PyObject* edge);

extern PyModuleDef module_def;

using pyhost::calls;
using pyhost::Optional;
using pyhost::parameters;

// The fields only the force extractor keeps.
inline constinit Name review_prompt_field{"review_prompt_description"};
inline constinit Name review_examples_field{"review_examples"};

struct Module {
    static constexpr auto declaration = pyhost::declare_class(
        "kestor.tavi.extractor.force.ForceExtractor",
        "The force (intensity) of the effect an event graph describes, read by a language model.", &module_def,
        pyhost::init<&init>(
            parameters("config", "prompt_description", "examples", "review_prompt_description", "review_examples"),
            calls("_build_model"),
            "Build the model from `config`, keep both prompts and convert both lists of worked examples."),
        extractor::service::build_model_operation<Module>,
        pyhost::method<&predict>(
            parameters("graph_data", Optional{"article_text"}),
            calls("_find_paths", "_format_graph_data", "_call_llm", "_extract_force"),
            "Return the force word of an event graph.\n\n"
            "The graph's start-to-end paths are rendered as text and given to the model; its first non-empty\n"
            "\"final_force\" is the force. \"特别剧烈\" is reviewed against `article_text` when one is given. With no\n"
            "path, or when the analysis fails (logged), the force is \"中等\"."),
        pyhost::method<&call_llm>(parameters("text"), calls(),
                                  "Ask the model about the graph text; returns the service's answer."),
        pyhost::method<&extract_force>(
            parameters("result", Optional{"article_text"}), calls("_get_first_force", "_review_with_article"),
            "The final force from an answer: \"中等\" when it has none; \"特别剧烈\" goes to review."),
        pyhost::method<&get_first_force>(
            parameters("result"), calls(),
            "The first non-empty \"final_force\" of the answer's extractions, as text, or \"\"."),
        pyhost::method<&review_with_article>(
            parameters("article_text"), calls(),
            "Ask the model to review the force against the article; \"特别剧烈\" when it fails or finds nothing."),
        pyhost::method<&find_paths>(
            parameters("graph_data"), calls("_build_graph", "_dfs"),
            "Every path from a start node to an end node, in depth-first order, as lists of path edges\n"
            "{\"source\": name, \"target\": name, \"strength\": value}. Paths with a common prefix share\n"
            "the path edges of that prefix."),
        pyhost::method<&dfs>(
            parameters("node_id", "current_path", "visited", "outgoing", "end_nodes", "node_map", "all_paths"),
            calls("_edge_to_path_edge", "_dfs"),
            "Walk depth-first from `node_id`, appending every path that reaches an end node to `all_paths`."),
        pyhost::method<&edge_to_path_edge>(parameters("edge", "node_map", "next_node"), calls(),
                                           "The path edge for a step along `edge` to `next_node`."),
        pyhost::method<&build_graph>(parameters("graph_data"),
                                     calls("_build_node_map", "_build_adjacency", "_get_start_nodes", "_get_end_nodes"),
                                     "(node_map, outgoing, incoming, start_nodes, end_nodes) of the graph data."),
        pyhost::method<&build_node_map>(parameters("nodes"), calls(), "Node id to node name, in the order of `nodes`."),
        pyhost::method<&build_adjacency>(parameters("edges", "from_key", "to_key"), calls(),
                                         "Node id (under `from_key`) to the edges leaving it, in edge order."),
        pyhost::method<&get_start_nodes>(parameters("outgoing", "incoming"), calls(),
                                         "Nodes with outgoing edges and no incoming edge."),
        pyhost::method<&get_end_nodes>(parameters("outgoing", "incoming"), calls(),
                                       "Nodes with incoming edges and no outgoing edge."),
        pyhost::method<&format_graph_data>(
            parameters("graph_data", "paths"),
            calls("_build_node_map", "_build_graph", "_append_start_end", "_append_paths"),
            "The graph text the model reads: start and end node, then every path."),
        pyhost::method<&append_start_end>(parameters("lines", "start_nodes", "end_nodes", "node_map"), calls(),
                                          "Append the start and end lines to `lines`."),
        pyhost::method<&append_paths>(parameters("lines", "paths"), calls("_format_edge_line"),
                                      "Append the numbered path blocks to `lines`."),
        pyhost::method<&format_edge_line>(parameters("edge"), calls(), "One edge line: \"  A -> B(0.5)\"."));
};

}  // namespace force

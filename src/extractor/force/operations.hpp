// ForceExtractor's operations, each declared once in the table below: its name, parameters, doc, implementation
// and the operations it calls through the instance.
//
// Python code would call every inner operation through the instance (`self._dfs(...)`), so a subclass that
// overrides one is honoured wherever it is called. An implementation calls another operation as
// `self.call<"_dfs">(...)`: when `self._dfs` still resolves to the module's own operation its implementation runs
// directly, otherwise the call goes through the instance. What resolves to the module's own is asked once per call
// from the host and remembered, so a walk of a million steps asks twice, not a million times.
//
// The native roads (native.hpp) replace everything an operation calls, directly or not, and are taken only when
// all of that is the module's own: what they cover is derived from the table, and an implementation that calls an
// operation its entry does not list fails to compile.
#pragma once

#include "pyhost/calls.hpp"
#include "pyhost/extractor_class.hpp"
#include "pyhost/globals.hpp"
#include "pyhost/operations.hpp"
#include "pyhost/ref.hpp"
#include "service/service.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace force {

using pyhost::FixedString;
using pyhost::Name;
using pyhost::Ref;

// An operation running for one call from the host: `self` as Python code would see it.
template <FixedString Name>
class Self;

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

class Dispatch;

// The names of the operations an operation calls through the instance.
struct Calls {
    std::array<std::string_view, 4> names{};
    std::size_t count = 0;
};

template <class... Names>
constexpr Calls calls(Names... names) {
    static_assert(sizeof...(Names) <= 4);
    return {{std::string_view(names)...}, sizeof...(Names)};
}

using Runner = Ref (*)(Dispatch& dispatch, PyObject* const* arguments);

struct Operation {
    pyhost::Operation declared;
    Calls calls;
    Runner run;  // the implementation, for a call that already resolved what is overridden
};

template <class Context>
struct NameOf;

template <FixedString Name>
struct NameOf<Self<Name>> {
    static constexpr auto name = Name;
};

template <auto Impl>
Ref run(Dispatch& dispatch, PyObject* const* arguments);

template <auto Impl>
Ref entry_body(pyhost::Scope scope, PyObject* const* arguments);

template <auto Impl>
constexpr Operation operation(pyhost::Parameters parameters, Calls calls, const char* doc) {
    using Context = typename pyhost::Implementation<decltype(Impl)>::Context;
    return {{NameOf<Context>::name.text, pyhost::Kind::method, pyhost::checked(parameters, pyhost::arity_of<Impl>),
             &entry_body<Impl>, doc},
            calls,
            &run<Impl>};
}

using pyhost::Optional;
using pyhost::parameters;

inline constexpr Operation operations[] = {
    operation<&predict>(
        parameters("graph_data", Optional{"article_text"}),
        calls("_find_paths", "_format_graph_data", "_call_llm", "_extract_force"),
        "Return the force word of an event graph.\n\n"
        "The graph's start-to-end paths are rendered as text and given to the model; its first non-empty\n"
        "\"final_force\" is the force. \"特别剧烈\" is reviewed against `article_text` when one is given. With no\n"
        "path, or when the analysis fails (logged), the force is \"中等\"."),
    operation<&call_llm>(parameters("text"), calls(),
                         "Ask the model about the graph text; returns the service's answer."),
    operation<&extract_force>(
        parameters("result", Optional{"article_text"}), calls("_get_first_force", "_review_with_article"),
        "The final force from an answer: \"中等\" when it has none; \"特别剧烈\" goes to review."),
    operation<&get_first_force>(parameters("result"), calls(),
                                "The first non-empty \"final_force\" of the answer's extractions, as text, or \"\"."),
    operation<&review_with_article>(
        parameters("article_text"), calls(),
        "Ask the model to review the force against the article; \"特别剧烈\" when it fails or finds nothing."),
    operation<&find_paths>(
        parameters("graph_data"), calls("_build_graph", "_dfs"),
        "Every path from a start node to an end node, in depth-first order, as lists of path edges\n"
        "{\"source\": name, \"target\": name, \"strength\": value}. Paths with a common prefix share\n"
        "the path edges of that prefix."),
    operation<&dfs>(parameters("node_id", "current_path", "visited", "outgoing", "end_nodes", "node_map", "all_paths"),
                    calls("_edge_to_path_edge", "_dfs"),
                    "Walk depth-first from `node_id`, appending every path that reaches an end node to `all_paths`."),
    operation<&edge_to_path_edge>(parameters("edge", "node_map", "next_node"), calls(),
                                  "The path edge for a step along `edge` to `next_node`."),
    operation<&build_graph>(parameters("graph_data"),
                            calls("_build_node_map", "_build_adjacency", "_get_start_nodes", "_get_end_nodes"),
                            "(node_map, outgoing, incoming, start_nodes, end_nodes) of the graph data."),
    operation<&build_node_map>(parameters("nodes"), calls(), "Node id to node name, in the order of `nodes`."),
    operation<&build_adjacency>(parameters("edges", "from_key", "to_key"), calls(),
                                "Node id (under `from_key`) to the edges leaving it, in edge order."),
    operation<&get_start_nodes>(parameters("outgoing", "incoming"), calls(),
                                "Nodes with outgoing edges and no incoming edge."),
    operation<&get_end_nodes>(parameters("outgoing", "incoming"), calls(),
                              "Nodes with incoming edges and no outgoing edge."),
    operation<&format_graph_data>(parameters("graph_data", "paths"),
                                  calls("_build_node_map", "_build_graph", "_append_start_end", "_append_paths"),
                                  "The graph text the model reads: start and end node, then every path."),
    operation<&append_start_end>(parameters("lines", "start_nodes", "end_nodes", "node_map"), calls(),
                                 "Append the start and end lines to `lines`."),
    operation<&append_paths>(parameters("lines", "paths"), calls("_format_edge_line"),
                             "Append the numbered path blocks to `lines`."),
    operation<&format_edge_line>(parameters("edge"), calls(), "One edge line: \"  A -> B(0.5)\"."),
};

inline constexpr std::size_t operation_count = std::size(operations);

// Sets of operations, one bit each.
using OperationSet = std::uint32_t;
static_assert(operation_count <= 32);

consteval std::size_t index_of(std::string_view name) {
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (name == operations[i].declared.name) return i;
    }
    throw "no operation of that name is declared";
}

consteval OperationSet called_by(std::size_t caller) {
    OperationSet set = 0;
    for (std::size_t i = 0; i < operations[caller].calls.count; ++i) {
        set |= OperationSet{1} << index_of(operations[caller].calls.names[i]);
    }
    return set;
}

// Everything `caller` reaches through the instance, directly or through other operations.
consteval OperationSet reached_from(std::size_t caller) {
    OperationSet reached = called_by(caller);
    for (OperationSet before = 0; before != reached;) {
        before = reached;
        for (std::size_t i = 0; i < operation_count; ++i) {
            if (reached & (OperationSet{1} << i)) reached |= called_by(i);
        }
    }
    return reached;
}

consteval OperationSet with_reached(std::size_t operation) {
    return OperationSet{1} << operation | reached_from(operation);
}

// The class: `__init__` and `_build_model`, then the operations above, in that order.
Ref init(pyhost::Scope scope, PyObject* config, PyObject* prompt, PyObject* examples, PyObject* review_prompt,
         PyObject* review_examples);

extern PyModuleDef module_def;

template <std::size_t... I>
constexpr auto declared_operations(std::index_sequence<I...>) {
    return std::array<pyhost::Operation, sizeof...(I)>{operations[I].declared...};
}

inline constexpr auto extractor_class = pyhost::declare(
    "kestor.tavi.extractor.force.ForceExtractor",
    "The force (intensity) of the effect an event graph describes, read by a language model.", &module_def,
    pyhost::operations(
        pyhost::init<&init>(
            parameters("config", "prompt_description", "examples", "review_prompt_description", "review_examples"),
            "Build the model from `config`, keep both prompts and convert both lists of worked examples."),
        extractor::service::build_model_operation),
    declared_operations(std::make_index_sequence<operation_count>{}));

struct State : pyhost::ClassState<extractor_class.size> {
    // The last class whose operations were resolved, at the version the interpreter gave it then: any change to
    // the class or its bases gives it a new version (or none), so a match means the same answers.
    PyTypeObject* resolved_type;
    unsigned int resolved_version;
    OperationSet resolved_native;
};

State& state_of(PyObject* module);

// One call from the host: the instance, the module's namespace, and which operations the instance resolves to
// the module's own.
class Dispatch {
public:
    Dispatch(PyObject* self, PyObject* module) noexcept : self_(self), globals_(module), state_(state_of(module)) {}

    PyObject* self() const noexcept { return self_; }
    const pyhost::Globals& globals() const noexcept { return globals_; }

    bool native(OperationSet set) {
        if (!resolved_) resolve();
        return (native_ & set) == set;
    }

    template <class... Args>
    Ref through_instance(std::size_t operation, Args... args) {
        return pyhost::call_method(self_, name_of(operation), args...);
    }

private:
    static const Name& name_of(std::size_t operation);
    void resolve();

    PyObject* self_;
    pyhost::Globals globals_;
    State& state_;
    bool resolved_ = false;
    OperationSet native_ = 0;
};

template <FixedString Name>
class Self {
public:
    explicit Self(Dispatch& dispatch) noexcept : dispatch_(dispatch) {}

    PyObject* object() const noexcept { return dispatch_.self(); }
    const pyhost::Globals& globals() const noexcept { return dispatch_.globals(); }

    // `self.<Callee>(args...)`.
    template <FixedString Callee, class... Args>
    Ref call(Args... args) {
        constexpr std::size_t callee = checked_callee<Callee>();
        static_assert(sizeof...(Args) == operations[callee].declared.parameters.count);
        if (!dispatch_.native(OperationSet{1} << callee)) return dispatch_.through_instance(callee, args...);
        PyObject* const arguments[] = {args...};
        constexpr Runner run = operations[callee].run;
        return run(dispatch_, arguments);
    }

    // Whether `self.<Callee>` is the module's own, for a step that runs it inline instead of calling it.
    template <FixedString Callee>
    bool runs_own() {
        return dispatch_.native(OperationSet{1} << checked_callee<Callee>());
    }

    // `self.<Callee>` as the module's own implementation sees it, for a caller that runs that implementation
    // itself because it shares work between calls; only where runs_own<Callee>().
    template <FixedString Callee>
    Self<Callee> own() {
        static_assert(checked_callee<Callee>() < operation_count);
        return Self<Callee>(dispatch_);
    }

    // Whether everything this operation calls, directly or not, is the module's own: its native road may run.
    bool owns_what_it_calls() { return dispatch_.native(reached_from(index)); }

    // Whether these operations and everything they call are the module's own.
    template <FixedString... Callees>
    bool owns() {
        constexpr OperationSet set = (with_reached(checked_callee<Callees>()) | ...);
        return dispatch_.native(set);
    }

private:
    static constexpr std::size_t index = index_of(Name.view());

    template <FixedString Callee>
    static consteval std::size_t checked_callee() {
        constexpr std::size_t callee = index_of(Callee.view());
        static_assert((called_by(index) >> callee) & 1, "an operation calls one that its entry does not list");
        return callee;
    }

    Dispatch& dispatch_;
};

template <auto Impl>
Ref run(Dispatch& dispatch, PyObject* const* arguments) {
    using Context = typename pyhost::Implementation<decltype(Impl)>::Context;
    return pyhost::apply<Impl>(Context(dispatch), arguments);
}

template <auto Impl>
Ref entry_body(pyhost::Scope scope, PyObject* const* arguments) {
    Dispatch dispatch(scope.self, scope.module);
    return run<Impl>(dispatch, arguments);
}

}  // namespace force

// ForceExtractor's operations as the module implements them, and how one operation calls another.
//
// Python code would call every inner operation through the instance (`self._dfs(...)`), so a subclass that
// overrides one is honoured wherever it is called. Every call between operations goes through `invoke`, which asks
// whether `self.<operation>` still resolves to the module's own operation: if so the C++ function runs directly,
// otherwise the call goes through the instance. The answer is asked once per call from the host and remembered,
// so a walk of a million steps asks twice, not a million times.
//
// Calls that go through the instance when overridden:
//   predict            -> _find_paths, _format_graph_data, _call_llm, _extract_force
//   _extract_force     -> _get_first_force, _review_with_article
//   _find_paths        -> _build_graph, _dfs
//   _dfs               -> _edge_to_path_edge, _dfs
//   _build_graph       -> _build_node_map, _build_adjacency (twice), _get_start_nodes, _get_end_nodes
//   _format_graph_data -> _build_node_map, _build_graph, _append_start_end, _append_paths
//   _append_paths      -> _format_edge_line
// The native roads (native.hpp) replace a whole subtree of these calls and are taken only when every operation
// in that subtree is the module's own.
#pragma once

#include "pyhost/call.hpp"
#include "pyhost/extension.hpp"
#include "pyhost/klass.hpp"
#include "pyhost/module.hpp"
#include "pyhost/ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace force {

using pyhost::Name;
using pyhost::Ref;

enum class Op : unsigned {
    find_paths,
    dfs,
    edge_to_path_edge,
    build_graph,
    build_node_map,
    build_adjacency,
    get_start_nodes,
    get_end_nodes,
    format_graph_data,
    append_start_end,
    append_paths,
    format_edge_line,
    call_llm,
    extract_force,
    get_first_force,
    review_with_article,
    count,
};

constexpr unsigned op_count = static_cast<unsigned>(Op::count);

const Name& name_of(Op op);

struct State : pyhost::ClassState<op_count> {
    // The last class whose operations were resolved, at the version the interpreter gave it then: any change to
    // the class or its bases gives it a new version (or none), so a match means the same answers.
    PyTypeObject* resolved_type;
    unsigned int resolved_version;
    std::uint32_t resolved_native;
};

State& state_of(PyObject* module);

// One call from the host: the instance, the module's namespace, and which operations the instance resolves to
// the module's own.
class Call {
public:
    Call(PyObject* self, PyObject* module) noexcept
        : self_(self), module_(module), globals_(module), state_(state_of(module)) {}

    PyObject* self() const noexcept { return self_; }
    const pyhost::Globals& globals() const noexcept { return globals_; }

    bool native(Op op) {
        if (!resolved_) resolve();
        return (native_ & (1u << static_cast<unsigned>(op))) != 0;
    }

    bool native(std::initializer_list<Op> ops) {
        for (Op op : ops) {
            if (!native(op)) return false;
        }
        return true;
    }

    template <class... Args>
    Ref through_instance(Op op, Args... args) {
        return pyhost::call_method(self_, name_of(op), args...);
    }

private:
    PyObject* self_;
    PyObject* module_;
    pyhost::Globals globals_;
    State& state_;
    void resolve();

    bool resolved_ = false;
    std::uint32_t native_ = 0;
};

// The module's own operations. Each checks its arguments on entry, as when called from the host.
Ref build_graph(Call& call, PyObject* graph_data);
Ref build_node_map(Call& call, PyObject* nodes);
Ref build_adjacency(Call& call, PyObject* edges, PyObject* from_key, PyObject* to_key);
Ref get_start_nodes(Call& call, PyObject* outgoing, PyObject* incoming);
Ref get_end_nodes(Call& call, PyObject* outgoing, PyObject* incoming);
Ref find_paths(Call& call, PyObject* graph_data);
Ref dfs(Call& call, PyObject* node_id, PyObject* current_path, PyObject* visited, PyObject* outgoing,
        PyObject* end_nodes, PyObject* node_map, PyObject* all_paths);
Ref edge_to_path_edge(Call& call, PyObject* edge, PyObject* node_map, PyObject* next_node);
Ref format_graph_data(Call& call, PyObject* graph_data, PyObject* paths);
Ref append_start_end(Call& call, PyObject* lines, PyObject* start_nodes, PyObject* end_nodes, PyObject* node_map);
Ref append_paths(Call& call, PyObject* lines, PyObject* paths);
Ref format_edge_line(Call& call, PyObject* edge);
Ref predict(Call& call, PyObject* graph_data, PyObject* article_text);
Ref call_llm(Call& call, PyObject* text);
Ref extract_force(Call& call, PyObject* result, PyObject* article_text);
Ref get_first_force(Call& call, PyObject* result);
Ref review_with_article(Call& call, PyObject* article_text);

// `self.<op>(args...)`: the module's own operation run directly, or the override through the instance.
template <auto Impl, Op op, class... Args>
Ref invoke(Call& call, Args... args) {
    return call.native(op) ? Impl(call, args...) : call.through_instance(op, args...);
}

}  // namespace force

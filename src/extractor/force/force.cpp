// kestor.tavi.extractor.force: the force word of an event graph.
#include "force/extractor.hpp"
#include "pyhost/klass.hpp"
#include "service/service.hpp"

#include <tuple>

namespace force {
namespace {

using pyhost::check;
using pyhost::own;

constinit Name review_prompt_field{"review_prompt_description"};
constinit Name review_examples_field{"review_examples"};

constinit Name op_names[op_count] = {
    Name{"_find_paths"},      Name{"_dfs"},          Name{"_edge_to_path_edge"}, Name{"_build_graph"},
    Name{"_build_node_map"},  Name{"_build_adjacency"}, Name{"_get_start_nodes"}, Name{"_get_end_nodes"},
    Name{"_format_graph_data"}, Name{"_append_start_end"}, Name{"_append_paths"}, Name{"_format_edge_line"},
    Name{"_call_llm"},        Name{"_extract_force"}, Name{"_get_first_force"},  Name{"_review_with_article"},
};

// The host calls each operation through one of these: bind the arguments by `Sig`, then run `Impl` for the call.
template <const auto& Sig, auto Impl>
Ref entry(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = pyhost::bind(Sig, args, nargs, kwnames);
    Call call(self, module);
    return std::apply([&](auto... arguments) { return Impl(call, arguments...); }, bound);
}

template <class... Params>
constexpr auto signature(const char* qualname, Params... params) {
    return pyhost::method_signature(qualname, params...);
}

constexpr auto predict_signature =
    pyhost::Signature<2>{"ForceExtractor.predict", {"graph_data", "article_text"}, 1, true};
constexpr auto call_llm_signature = signature("ForceExtractor._call_llm", "text");
constexpr auto extract_force_signature =
    pyhost::Signature<2>{"ForceExtractor._extract_force", {"result", "article_text"}, 1, true};
constexpr auto get_first_force_signature = signature("ForceExtractor._get_first_force", "result");
constexpr auto review_signature = signature("ForceExtractor._review_with_article", "article_text");
constexpr auto find_paths_signature = signature("ForceExtractor._find_paths", "graph_data");
constexpr auto dfs_signature = signature("ForceExtractor._dfs", "node_id", "current_path", "visited", "outgoing",
                                         "end_nodes", "node_map", "all_paths");
constexpr auto edge_signature = signature("ForceExtractor._edge_to_path_edge", "edge", "node_map", "next_node");
constexpr auto build_graph_signature = signature("ForceExtractor._build_graph", "graph_data");
constexpr auto node_map_signature = signature("ForceExtractor._build_node_map", "nodes");
constexpr auto adjacency_signature =
    signature("ForceExtractor._build_adjacency", "edges", "from_key", "to_key");
constexpr auto start_nodes_signature = signature("ForceExtractor._get_start_nodes", "outgoing", "incoming");
constexpr auto end_nodes_signature = signature("ForceExtractor._get_end_nodes", "outgoing", "incoming");
constexpr auto format_signature = signature("ForceExtractor._format_graph_data", "graph_data", "paths");
constexpr auto start_end_signature =
    signature("ForceExtractor._append_start_end", "lines", "start_nodes", "end_nodes", "node_map");
constexpr auto append_paths_signature = signature("ForceExtractor._append_paths", "lines", "paths");
constexpr auto edge_line_signature = signature("ForceExtractor._format_edge_line", "edge");

Ref init(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto init_signature =
        signature("ForceExtractor.__init__", "config", "prompt_description", "examples", "review_prompt_description",
                  "review_examples");
    auto [config, prompt, examples, review_prompt, review_examples] = pyhost::bind(init_signature, args, nargs, kwnames);
    pyhost::expect_exact(config, &PyDict_Type, "config");
    pyhost::expect_exact(prompt, &PyUnicode_Type, "prompt_description");
    pyhost::expect_exact(examples, &PyList_Type, "examples");
    pyhost::expect_exact(review_prompt, &PyUnicode_Type, "review_prompt_description");
    pyhost::expect_exact(review_examples, &PyList_Type, "review_examples");
    pyhost::Globals globals(module);
    extractor::service::construct(globals, self, config, prompt, examples);
    check(PyObject_SetAttr(self, review_prompt_field.get(), review_prompt));
    Ref converted = extractor::service::convert_examples(globals, review_examples);
    check(PyObject_SetAttr(self, review_examples_field.get(), converted.get()));
    return Ref::borrow(Py_None);
}

Ref build_model(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extractor::service::build_model("ForceExtractor._build_model", args, nargs, kwnames);
}

template <const auto& Sig, auto Impl>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return pyhost::instance_method<entry<Sig, Impl>>(name, doc);
}

extern PyModuleDef module_def;

PyMethodDef methods[] = {
    pyhost::init_method<init>(
        "__init__($self, config, prompt_description, examples, review_prompt_description, review_examples)\n--\n\n"
        "Build the model from `config`, keep both prompts and convert both lists of worked examples."),
    pyhost::static_placeholder<build_model>("_build_model", extractor::service::build_model_doc),
    method<predict_signature, predict>(
        "predict",
        "predict($self, graph_data, article_text=None)\n--\n\n"
        "Return the force word of an event graph.\n\n"
        "The graph's start-to-end paths are rendered as text and given to the model; its first non-empty\n"
        "\"final_force\" is the force. \"特别剧烈\" is reviewed against `article_text` when one is given. With no\n"
        "path, or when the analysis fails (logged), the force is \"中等\"."),
    method<call_llm_signature, call_llm>("_call_llm",
                                         "_call_llm($self, text)\n--\n\nAsk the model about the graph text; "
                                         "returns the service's answer."),
    method<extract_force_signature, extract_force>(
        "_extract_force", "_extract_force($self, result, article_text=None)\n--\n\n"
                          "The final force from an answer: \"中等\" when it has none; \"特别剧烈\" goes to review."),
    method<get_first_force_signature, get_first_force>(
        "_get_first_force", "_get_first_force($self, result)\n--\n\n"
                            "The first non-empty \"final_force\" of the answer's extractions, as text, or \"\"."),
    method<review_signature, review_with_article>(
        "_review_with_article", "_review_with_article($self, article_text)\n--\n\n"
                                "Ask the model to review the force against the article; \"特别剧烈\" when it "
                                "fails or finds nothing."),
    method<find_paths_signature, find_paths>(
        "_find_paths", "_find_paths($self, graph_data)\n--\n\n"
                       "Every path from a start node to an end node, in depth-first order, as lists of path edges\n"
                       "{\"source\": name, \"target\": name, \"strength\": value}. Paths with a common prefix share\n"
                       "the path edges of that prefix."),
    method<dfs_signature, dfs>(
        "_dfs", "_dfs($self, node_id, current_path, visited, outgoing, end_nodes, node_map, all_paths)\n--\n\n"
                "Walk depth-first from `node_id`, appending every path that reaches an end node to `all_paths`."),
    method<edge_signature, edge_to_path_edge>(
        "_edge_to_path_edge", "_edge_to_path_edge($self, edge, node_map, next_node)\n--\n\n"
                              "The path edge for a step along `edge` to `next_node`."),
    method<build_graph_signature, build_graph>(
        "_build_graph", "_build_graph($self, graph_data)\n--\n\n"
                        "(node_map, outgoing, incoming, start_nodes, end_nodes) of the graph data."),
    method<node_map_signature, build_node_map>("_build_node_map", "_build_node_map($self, nodes)\n--\n\n"
                                                                  "Node id to node name, in the order of `nodes`."),
    method<adjacency_signature, build_adjacency>(
        "_build_adjacency", "_build_adjacency($self, edges, from_key, to_key)\n--\n\n"
                            "Node id (under `from_key`) to the edges leaving it, in edge order."),
    method<start_nodes_signature, get_start_nodes>(
        "_get_start_nodes", "_get_start_nodes($self, outgoing, incoming)\n--\n\n"
                            "Nodes with outgoing edges and no incoming edge."),
    method<end_nodes_signature, get_end_nodes>("_get_end_nodes", "_get_end_nodes($self, outgoing, incoming)\n--\n\n"
                                                                 "Nodes with incoming edges and no outgoing edge."),
    method<format_signature, format_graph_data>(
        "_format_graph_data", "_format_graph_data($self, graph_data, paths)\n--\n\n"
                              "The graph text the model reads: start and end node, then every path."),
    method<start_end_signature, append_start_end>(
        "_append_start_end", "_append_start_end($self, lines, start_nodes, end_nodes, node_map)\n--\n\n"
                             "Append the start and end lines to `lines`."),
    method<append_paths_signature, append_paths>("_append_paths", "_append_paths($self, lines, paths)\n--\n\n"
                                                                  "Append the numbered path blocks to `lines`."),
    method<edge_line_signature, format_edge_line>("_format_edge_line", "_format_edge_line($self, edge)\n--\n\n"
                                                                       "One edge line: \"  A -> B(0.5)\"."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef static_methods[] = {
    pyhost::module_function<build_model>("_build_model", extractor::service::build_model_doc),
    {nullptr, nullptr, 0, nullptr},
};

int exec_force(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        Ref time = own(PyImport_ImportModule("time"));
        check(PyModule_AddObjectRef(module, "time", time.get()));
        extractor::service::bind_module_names(module);
        const pyhost::ClassSpec spec = {
            "kestor.tavi.extractor.force.ForceExtractor",
            "ForceExtractor(config, prompt_description, examples, review_prompt_description, review_examples)\n"
            "--\n\n"
            "The force (intensity) of the effect an event graph describes, read by a language model.",
            methods, static_methods, pyhost::init_slot<init, &module_def>};
        std::array<const Name*, op_count> operations;
        for (unsigned op = 0; op < op_count; ++op) operations[op] = &op_names[op];
        pyhost::define_class<State>(module, spec, operations);
    });
}

PyModuleDef module_def = pyhost::module_definition<State>(
    "force", "The force of an event graph: path search, graph text, model call and review (ForceExtractor).",
    pyhost::module_slots<exec_force>);

}  // namespace

const Name& name_of(Op op) { return op_names[static_cast<unsigned>(op)]; }

void Call::resolve() {
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        // A class with its own attribute lookup: ask it for every call.
        native_ = 0;
        resolved_ = true;
        return;
    }
    const bool known = state_.resolved_type == type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
                       type->tp_version_tag == state_.resolved_version;
    if (known) {
        native_ = state_.resolved_native;
    } else {
        auto lookup = [&] {
            std::uint32_t found = 0;
            for (unsigned op = 0; op < op_count; ++op) {
                Ref attribute = pyhost::class_attribute(reinterpret_cast<PyObject*>(type), op_names[op]);
                if (attribute.get() == state_.originals[op]) found |= 1u << op;
            }
            return found;
        };
        // 0 when the class has no valid version.
        auto version = [&]() -> unsigned int {
            return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
        };
        // A lookup can run host code (a descriptor's __get__, and other threads while that code runs) that
        // changes the class; answers read before the change would then be kept under the class's new version.
        // The first pass gives the class a version if it can have one; answers read again under that same version
        // belong to it. Should the class change under the second pass too, this call asks the instance for
        // every operation, which is always right.
        native_ = lookup();
        if (const unsigned int before = version(); before != 0) {
            native_ = lookup();
            if (version() == before) {
                state_.resolved_type = type;
                state_.resolved_version = before;
                state_.resolved_native = native_;
            } else {
                native_ = 0;
            }
        }
    }
    // The instance's own __dict__ comes first for these names. Its fields never start with an underscore, so the
    // usual instance is cleared by one pass over a handful of keys.
    if (PyObject* dict = pyhost::instance_dict(self_); dict != nullptr && PyDict_GET_SIZE(dict) != 0) {
        pyhost::for_each_key(dict, [&](PyObject* key) {
            if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_') return;
            for (unsigned op = 0; op < op_count; ++op) {
                if (PyUnicode_Compare(key, op_names[op].get()) == 0) native_ &= ~(1u << op);
            }
            if (PyErr_Occurred()) pyhost::raise();
        });
    }
    resolved_ = true;
}

State& state_of(PyObject* module) { return pyhost::state_of<State>(module); }

}  // namespace force

PyMODINIT_FUNC PyInit_force() { return PyModuleDef_Init(&force::module_def); }

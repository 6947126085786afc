// predict: from the graph data to the force word, with the model call, the choice of the force and the review.
#include "force/extractor.hpp"
#include "force/native.hpp"
#include "pyhost/guard.hpp"
#include "service/service.hpp"

namespace force {
namespace {

using pyhost::getattr;
using pyhost::Globals;
using pyhost::own;
using pyhost::truthy;

constinit Name time_name{"time"};
constinit Name logger_name{"logger"};
constinit Name info_method{"info"};
constinit Name debug_method{"debug"};
constinit Name paths_message{"Find paths cost: %.2fs, paths count: %d"};
constinit Name text_message{"Graph text: %s"};
constinit Name llm_message{"LLM extract cost: %.2fs"};
constinit Name total_message{"Total predict cost: %.2fs, result: %s"};
constinit Name analysis_failed{"Failed to analyze force with langextract: %s"};
constinit Name review_started{"Starting force review with article text"};
constinit Name review_message{"Review cost: %.2fs, review result: %s"};
constinit Name review_failed{"Failed to review force with article: %s"};
constinit Name medium{"中等"};
constinit Name extreme{"特别剧烈"};
constinit Name empty_text{""};
constinit Name review_prompt_field{"review_prompt_description"};
constinit Name review_examples_field{"review_examples"};
constinit Name extractions_field{"extractions"};
constinit Name attributes_field{"attributes"};
constinit Name final_force_key{"final_force"};

// time.time(), read from the module's namespace at each step.
Ref now(const Globals& globals) { return pyhost::call_method(globals[time_name].get(), time_name); }

Ref since(const Globals& globals, PyObject* start) {
    Ref current = now(globals);
    return own(PyNumber_Subtract(current.get(), start));
}

// `logger.<level>(message, *args())`: the logger and its method are looked up before the arguments are
// computed, as in Python code.
template <class Args>
void log(const Globals& globals, const Name& level, const Name& message, Args&& args) {
    Ref method = getattr(globals[logger_name].get(), level);
    std::apply([&](auto&&... values) { pyhost::call(method.get(), message.get(), values.get()...); }, args());
}

// The first true "final_force" among the answer's extractions, as read.
Ref first_force(PyObject* result) {
    Ref extractions = getattr(result, extractions_field);
    Ref found;
    if (!truthy(extractions.get())) return found;
    pyhost::any_of(extractions.get(), [&](PyObject* extraction) {
        Ref attributes = getattr(extraction, attributes_field);
        if (!truthy(attributes.get())) attributes = own(PyDict_New());
        Ref force = pyhost::mapping_get(attributes.get(), final_force_key, empty_text.get());
        if (!truthy(force.get())) return false;
        found = std::move(force);
        return true;
    });
    return found;
}

// The search and the rendering on the native road: taken only when nothing they reach is overridden, and only
// for graph data the native road represents; otherwise nothing, and `predict` goes through the operations.
std::unique_ptr<native::Search> native_search(Call& call, PyObject* graph_data) {
    if (!call.native({Op::find_paths, Op::build_graph, Op::build_node_map, Op::build_adjacency,
                      Op::get_start_nodes, Op::get_end_nodes, Op::dfs, Op::edge_to_path_edge,
                      Op::format_graph_data, Op::append_start_end, Op::append_paths, Op::format_edge_line})) {
        return nullptr;
    }
    return native::Search::run(graph_data);
}

// Steps 3a-3f of predict, inside the guard: the model's answer, or nothing when there is no path.
Ref analyse(Call& call, PyObject* graph_data, PyObject* total_start) {
    const Globals& globals = call.globals();
    Ref text;
    if (std::unique_ptr<native::Search> search = native_search(call, graph_data)) {
        const std::size_t count = search->path_count();
        log(globals, info_method, paths_message, [&] {
            return std::tuple{since(globals, total_start), own(PyLong_FromSize_t(count))};
        });
        if (count == 0) return Ref();
        text = search->render();
    } else {
        Ref paths = invoke<find_paths, Op::find_paths>(call, graph_data);
        log(globals, info_method, paths_message, [&] {
            Ref cost = since(globals, total_start);
            const Py_ssize_t count = PyObject_Length(paths.get());
            if (count < 0) pyhost::raise();
            return std::tuple{std::move(cost), own(PyLong_FromSsize_t(count))};
        });
        if (!truthy(paths.get())) return Ref();
        text = invoke<format_graph_data, Op::format_graph_data>(call, graph_data, paths.get());
    }
    log(globals, debug_method, text_message, [&] { return std::tuple{text}; });
    return invoke<call_llm, Op::call_llm>(call, text.get());
}

}  // namespace

Ref predict(Call& call, PyObject* graph_data, PyObject* article_text) {
    pyhost::expect_exact(graph_data, &PyDict_Type, "graph_data");
    PyObject* article = article_text != nullptr ? article_text : Py_None;
    pyhost::expect_exact_or_none(article, &PyUnicode_Type, "article_text");
    const Globals& globals = call.globals();
    Ref total_start = now(globals);
    std::optional<Ref> result =
        pyhost::guarded(globals, analysis_failed, [&] { return analyse(call, graph_data, total_start.get()); });
    if (!result || !*result) return Ref::borrow(medium.get());
    Ref force = invoke<extract_force, Op::extract_force>(call, result->get(), article);
    log(globals, info_method, total_message, [&] { return std::tuple{since(globals, total_start.get()), force}; });
    return force;
}

Ref call_llm(Call& call, PyObject* text) {
    pyhost::expect_exact(text, &PyUnicode_Type, "text");
    const Globals& globals = call.globals();
    Ref llm_start = now(globals);
    Ref extract = extractor::service::entry_point(globals);
    Ref result = extractor::service::call(globals, extract.get(), call.self(), text,
                                          extractor::service::prompt_description, extractor::service::examples);
    log(globals, info_method, llm_message, [&] { return std::tuple{since(globals, llm_start.get())}; });
    return result;
}

Ref extract_force(Call& call, PyObject* result, PyObject* article_text) {
    PyObject* article = article_text != nullptr ? article_text : Py_None;
    pyhost::expect_exact_or_none(article, &PyUnicode_Type, "article_text");
    Ref force = invoke<get_first_force, Op::get_first_force>(call, result);
    if (!truthy(force.get())) return Ref::borrow(medium.get());
    Ref is_extreme = own(PyObject_RichCompare(force.get(), extreme.get(), Py_EQ));
    if (truthy(is_extreme.get()) && truthy(article)) {
        return invoke<review_with_article, Op::review_with_article>(call, article);
    }
    return force;
}

Ref get_first_force(Call&, PyObject* result) {
    Ref force = first_force(result);
    if (!force) return Ref::borrow(empty_text.get());
    return own(PyObject_Str(force.get()));
}

Ref review_with_article(Call& call, PyObject* article_text) {
    pyhost::expect_exact(article_text, &PyUnicode_Type, "article_text");
    const Globals& globals = call.globals();
    log(globals, info_method, review_started, [] { return std::tuple{}; });
    Ref review_start = now(globals);
    std::optional<Ref> result = pyhost::guarded(globals, review_failed, [&] {
        Ref extract = extractor::service::entry_point(globals);
        return extractor::service::call(globals, extract.get(), call.self(), article_text, review_prompt_field,
                                        review_examples_field);
    });
    if (!result) return Ref::borrow(extreme.get());
    Ref force = first_force(result->get());
    if (!force) return Ref::borrow(extreme.get());
    Ref review_cost = since(globals, review_start.get());
    log(globals, info_method, review_message, [&] { return std::tuple{review_cost, force}; });
    return own(PyObject_Str(force.get()));
}

}  // namespace force

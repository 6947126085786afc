// predict: from the graph data to the force word, with the model call, the choice of the force and the review.
#include "force/native.hpp"
#include "force/operations.hpp"
#include "force/prepared_graph.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/guard.hpp"
#include "pyhost/text.hpp"
#include "service/service.hpp"

#include <optional>
#include <tuple>

namespace force {
namespace {

using pyhost::getattr;
using pyhost::Globals;
using pyhost::own;
using pyhost::truthy;

constinit Name time_name{"time"};
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
    Ref method = getattr(globals[pyhost::logger_name].get(), level);
    std::apply([&](auto&&... values) { pyhost::call(method.get(), message.get(), values.get()...); }, args());
}

// The first true "final_force" among the answer's extractions, as read.
Ref first_force(PyObject* result) {
    Ref extractions = extractor::service::extractions_of(result);
    Ref found;
    if (!truthy(extractions.get())) return found;
    pyhost::any_of(extractions.get(), [&](PyObject* extraction) {
        Ref attributes = extractor::service::attributes_of(extraction);
        Ref force = pyhost::mapping_get(attributes.get(), final_force_key, pyhost::empty_text.get());
        if (!truthy(force.get())) return false;
        found = std::move(force);
        return true;
    });
    return found;
}

// The path search, its log record and the rendering: the graph text, or nothing when there is no path. When both
// steps are the module's own, the graph data is read once for both; and when that reading is the native road's and
// every value renders without host code, no host path edge is made at all.
Ref graph_text(Self<"predict"> self, PyObject* graph_data, PyObject* total_start) {
    const Globals& globals = self.globals();
    std::optional<PreparedGraph> prepared;
    if (self.all_own<"_find_paths", "_format_graph_data">()) prepared.emplace(graph_data, true);
    const native::Snapshot* snapshot = prepared ? prepared->snapshot() : nullptr;
    if (snapshot != nullptr && snapshot->plain_text) {
        native::Search search(*snapshot);
        const std::size_t count = search.path_count();
        log(globals, info_method, paths_message,
            [&] { return std::tuple{since(globals, total_start), own(PyLong_FromSize_t(count))}; });
        if (count == 0) return Ref();
        return search.render();
    }
    Ref paths =
        prepared ? find_paths_in(self.callee<"_find_paths">(), *prepared) : self.call<"_find_paths">(graph_data);
    log(globals, info_method, paths_message, [&] {
        Ref cost = since(globals, total_start);
        const Py_ssize_t count = PyObject_Length(paths.get());
        if (count < 0) pyhost::raise();
        return std::tuple{std::move(cost), own(PyLong_FromSsize_t(count))};
    });
    if (!truthy(paths.get())) return Ref();
    return prepared ? format_graph_data_in(self.callee<"_format_graph_data">(), *prepared, paths.get())
                    : self.call<"_format_graph_data">(graph_data, paths.get());
}

// The search, the rendering and the model call, inside the guard: the model's answer, or nothing when there is no
// path.
Ref analyse(Self<"predict"> self, PyObject* graph_data, PyObject* total_start) {
    Ref text = graph_text(self, graph_data, total_start);
    if (!text) return Ref();
    log(self.globals(), debug_method, text_message, [&] { return std::tuple{text}; });
    return self.call<"_call_llm">(text.get());
}

}  // namespace

Ref predict(Self<"predict"> self, PyObject* graph_data, PyObject* article_text) {
    pyhost::expect_exact(graph_data, &PyDict_Type, "graph_data");
    PyObject* article = article_text != nullptr ? article_text : Py_None;
    pyhost::expect_exact_or_none(article, &PyUnicode_Type, "article_text");
    const Globals& globals = self.globals();
    Ref total_start = now(globals);
    std::optional<Ref> result =
        pyhost::guarded(globals, analysis_failed, [&] { return analyse(self, graph_data, total_start.get()); });
    if (!result || !*result) return Ref::borrow(medium.get());
    Ref force = self.call<"_extract_force">(result->get(), article);
    log(globals, info_method, total_message, [&] { return std::tuple{since(globals, total_start.get()), force}; });
    return force;
}

Ref call_llm(Self<"_call_llm"> self, PyObject* text) {
    pyhost::expect_exact(text, &PyUnicode_Type, "text");
    const Globals& globals = self.globals();
    Ref llm_start = now(globals);
    Ref extract = extractor::service::extract_function(globals);
    Ref result = extractor::service::extract(globals, extract.get(), self.object(), text,
                                             extractor::service::prompt_field, extractor::service::examples_field);
    log(globals, info_method, llm_message, [&] { return std::tuple{since(globals, llm_start.get())}; });
    return result;
}

Ref extract_force(Self<"_extract_force"> self, PyObject* result, PyObject* article_text) {
    PyObject* article = article_text != nullptr ? article_text : Py_None;
    pyhost::expect_exact_or_none(article, &PyUnicode_Type, "article_text");
    Ref force = self.call<"_get_first_force">(result);
    if (!truthy(force.get())) return Ref::borrow(medium.get());
    Ref is_extreme = own(PyObject_RichCompare(force.get(), extreme.get(), Py_EQ));
    if (truthy(is_extreme.get()) && truthy(article)) {
        return self.call<"_review_with_article">(article);
    }
    return force;
}

Ref get_first_force(Self<"_get_first_force">, PyObject* result) {
    Ref force = first_force(result);
    if (!force) return Ref::borrow(pyhost::empty_text.get());
    return own(PyObject_Str(force.get()));
}

Ref review_with_article(Self<"_review_with_article"> self, PyObject* article_text) {
    pyhost::expect_exact(article_text, &PyUnicode_Type, "article_text");
    const Globals& globals = self.globals();
    log(globals, info_method, review_started, [] { return std::tuple{}; });
    Ref review_start = now(globals);
    std::optional<Ref> result = extractor::service::guarded_extract(
        globals, review_failed, self.object(), [&] { return Ref::borrow(article_text); }, review_prompt_field,
        review_examples_field);
    if (!result) return Ref::borrow(extreme.get());
    Ref force = first_force(result->get());
    if (!force) return Ref::borrow(extreme.get());
    Ref review_cost = since(globals, review_start.get());
    log(globals, info_method, review_message, [&] { return std::tuple{review_cost, force}; });
    return own(PyObject_Str(force.get()));
}

}  // namespace force

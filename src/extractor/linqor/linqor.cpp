// kestor.tavi.extractor.linqor: does a PC relation hold in a text, and why.
#include "pyhost/call.hpp"
#include "pyhost/extension.hpp"
#include "pyhost/guard.hpp"
#include "service/service.hpp"

namespace linqor {

using pyhost::check;
using pyhost::getattr;
using pyhost::Globals;
using pyhost::mapping_get;
using pyhost::Name;
using pyhost::own;
using pyhost::Ref;

constinit Name class_name{"LinqorExtractor"};
constinit Name to_result_name{"_to_result"};
constinit Name to_bool_name{"_to_bool"};
constinit Name default_result_name{"_default_result"};

// What _to_result, _to_bool and _default_result resolved to when the module made the class.
enum Original { to_result_original, to_bool_original, default_result_original };
using State = pyhost::ClassState<3>;
constexpr std::array<const Name*, 3> originals = {&to_result_name, &to_bool_name, &default_result_name};

State& state_of(PyObject* module) { return pyhost::state_of<State>(module); }
constinit Name extractions_field{"extractions"};
constinit Name attributes_field{"attributes"};
constinit Name strip_method{"strip"};
constinit Name lower_method{"lower"};
constinit Name failure_message{"Failed to classify PC relation with langextract: %s"};

constinit Name related_key{"related"};
constinit Name reason_key{"reason"};
constinit Name empty_text{""};

constinit Name yes_words[] = {Name{"true"}, Name{"1"}, Name{"yes"}, Name{"y"}};

// The service cuts longer inputs into pieces of this many characters and answers each one apart; the opening
// alone goes to the model, so one text is one request and one answer.
constexpr Py_ssize_t text_limit = 1000;

Ref init(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature =
        pyhost::method_signature("LinqorExtractor.__init__", "config", "prompt_description", "examples");
    auto [config, prompt, examples] = pyhost::bind(signature, args, nargs, kwnames);
    pyhost::expect_exact(config, &PyDict_Type, "config");
    pyhost::expect_exact(prompt, &PyUnicode_Type, "prompt_description");
    pyhost::expect_exact(examples, &PyList_Type, "examples");
    extractor::service::construct(Globals(module), self, config, prompt, examples);
    return Ref::borrow(Py_None);
}

Ref build_model(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extractor::service::build_model("LinqorExtractor._build_model", args, nargs, kwnames);
}

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref bool_of(PyObject* value) {
    if (PyBool_Check(value)) return Ref::borrow(value);
    if (PyUnicode_Check(value)) {
        // Method calls, not the C routines: a str subclass's own strip and lower are honoured.
        Ref stripped = pyhost::call_method(value, strip_method);
        Ref folded = pyhost::call_method(stripped.get(), lower_method);
        for (const Name& word : yes_words) {
            if (check(PyObject_RichCompareBool(folded.get(), word.get(), Py_EQ))) return boolean(true);
        }
        return boolean(false);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) return boolean(pyhost::truthy(value));
    return boolean(false);
}

Ref to_bool(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::static_signature("LinqorExtractor._to_bool", "value");
    auto [value] = pyhost::bind(signature, args, nargs, kwnames);
    return bool_of(value);
}

Ref default_of() {
    Ref result = own(PyDict_New());
    pyhost::dict_set(result.get(), related_key, Py_False);
    pyhost::dict_set(result.get(), reason_key, empty_text.get());
    return result;
}

Ref default_result(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::static_signature("LinqorExtractor._default_result");
    pyhost::bind(signature, args, nargs, kwnames);
    return default_of();
}

Ref result_of(PyObject* module, PyObject* extraction) {
    Ref attributes = getattr(extraction, attributes_field);
    if (!pyhost::truthy(attributes.get())) attributes = own(PyDict_New());
    PyObject* mapping = attributes.get();

    Ref result = own(PyDict_New());
    // Through the class itself: a subclass's own _to_bool is not used here. An extraction without "related"
    // counts as related: the model only produces one when it finds the relation.
    Ref raw_related = mapping_get(mapping, related_key, Py_True);
    Ref cls = Globals(module)[class_name];
    Ref related = pyhost::call_attribute(
        cls.get(), to_bool_name, state_of(module).originals[to_bool_original], [&] { return bool_of(raw_related.get()); },
        raw_related.get());
    pyhost::dict_set(result.get(), related_key, related.get());

    Ref reason = mapping_get(mapping, reason_key, empty_text.get());
    pyhost::dict_set(result.get(), reason_key, own(PyObject_Str(reason.get())).get());
    return result;
}

Ref to_result(PyObject*, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::static_signature("LinqorExtractor._to_result", "extraction");
    auto [extraction] = pyhost::bind(signature, args, nargs, kwnames);
    return result_of(module, extraction);
}

// The very same object when it is short enough, as slicing it would give.
Ref opening_of(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) pyhost::raise();
    if (length <= text_limit) return Ref::borrow(text);
    return own(PyUnicode_Substring(text, 0, text_limit));
}

// Callers of predict index the result as a dict; an override that hands back anything else would only fail
// later and further from its cause.
Ref expect_result(Ref value) {
    if (value.get() == Py_None || PyDict_CheckExact(value.get())) return value;
    pyhost::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value.get())->tp_name);
}

Ref predict(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::method_signature("LinqorExtractor.predict", "text");
    auto [text] = pyhost::bind(signature, args, nargs, kwnames);
    pyhost::expect_exact(text, &PyUnicode_Type, "text");

    Globals globals(module);
    const State& state = state_of(module);
    // Through the instance: a subclass's own _default_result and _to_result are honoured.
    auto fallback = [&] {
        return expect_result(
            pyhost::call_attribute(self, default_result_name, state.originals[default_result_original], [] { return default_of(); }));
    };

    auto result = pyhost::guarded(globals, failure_message, [&] {
        Ref extract = extractor::service::entry_point(globals);
        Ref opening = opening_of(text);
        return extractor::service::call(globals, extract.get(), self, opening.get(),
                                        extractor::service::prompt_description, extractor::service::examples);
    });
    if (!result) return fallback();

    Ref extractions = getattr(result->get(), extractions_field);
    if (!pyhost::truthy(extractions.get())) return fallback();
    Ref extraction;
    if (PyList_CheckExact(extractions.get())) {
        extraction = Ref::borrow(PyList_GET_ITEM(extractions.get(), 0));
    } else if (PyTuple_CheckExact(extractions.get())) {
        extraction = Ref::borrow(PyTuple_GET_ITEM(extractions.get(), 0));
    } else {
        Ref zero = own(PyLong_FromLong(0));
        extraction = own(PyObject_GetItem(extractions.get(), zero.get()));
    }
    if (extraction.get() == Py_None) return fallback();

    return expect_result(pyhost::call_attribute(
        self, to_result_name, state.originals[to_result_original], [&] { return result_of(module, extraction.get()); },
        extraction.get()));
}

extern PyModuleDef module_def;

constexpr const char to_result_doc[] =
    "_to_result(extraction)\n--\n\n"
    "Read the classification from one extraction; related is True when the model left it out.";
constexpr const char to_bool_doc[] =
    "_to_bool(value)\n--\n\n"
    "Read an answer as a bool: a bool as it is, a number by its truth, a text when it says\n"
    "true, 1, yes or y (any case, blanks around ignored); anything else is False.";
constexpr const char default_result_doc[] =
    "_default_result()\n--\n\n"
    "A new {\"related\": False, \"reason\": \"\"}, the answer when the model gives none.";

PyMethodDef methods[] = {
    pyhost::init_method<init>("__init__($self, config, prompt_description, examples)\n--\n\n"
                              "Build the model from `config`, keep the prompt and convert the worked examples."),
    pyhost::static_placeholder<build_model>("_build_model", extractor::service::build_model_doc),
    pyhost::instance_method<predict>(
        "predict", "predict($self, text)\n--\n\n"
                   "Ask whether a PC relation holds in the first 1000 characters of `text`.\n\n"
                   "Returns a new dictionary holding related (a bool) and reason (a str), in that order. A failing\n"
                   "service call is logged and, like an answer without extractions, gives the default result."),
    pyhost::static_placeholder<to_result>("_to_result", to_result_doc),
    pyhost::static_placeholder<to_bool>("_to_bool", to_bool_doc),
    pyhost::static_placeholder<default_result>("_default_result", default_result_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef static_methods[] = {
    pyhost::module_function<build_model>("_build_model", extractor::service::build_model_doc),
    pyhost::module_function<to_result>("_to_result", to_result_doc),
    pyhost::module_function<to_bool>("_to_bool", to_bool_doc),
    pyhost::module_function<default_result>("_default_result", default_result_doc),
    {nullptr, nullptr, 0, nullptr},
};

int exec_linqor(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        extractor::service::bind_module_names(module);
        const pyhost::ClassSpec spec = {
            "kestor.tavi.extractor.linqor.LinqorExtractor",
            "LinqorExtractor(config, prompt_description, examples)\n--\n\n"
            "Whether a PC relation holds in a text, and why, as a language model reads it.",
            methods, static_methods, pyhost::init_slot<init, &module_def>};
        pyhost::define_class<State>(module, spec, originals);
    });
}

PyModuleDef module_def = pyhost::module_definition<State>(
    "linqor", "PC relation classification: LinqorExtractor.", pyhost::module_slots<exec_linqor>);

}  // namespace linqor

PyMODINIT_FUNC PyInit_linqor() { return PyModuleDef_Init(&linqor::module_def); }

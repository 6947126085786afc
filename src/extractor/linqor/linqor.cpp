// kestor.tavi.extractor.linqor: does a PC relation hold in a text, and why.
#include "pyhost/containers.hpp"
#include "pyhost/method_table.hpp"
#include "pyhost/text.hpp"
#include "service/service.hpp"

namespace linqor {
namespace {

using pyhost::Name;
using pyhost::own;
using pyhost::parameters;
using pyhost::Ref;

struct Module;
template <pyhost::FixedString Name>
using Self = pyhost::Self<Module, Name>;

Ref predict(Self<"predict"> self, PyObject* text);
Ref to_result(Self<"_to_result"> self, PyObject* extraction);
Ref to_bool(Self<"_to_bool"> self, PyObject* value);
Ref default_result(Self<"_default_result"> self);

extern PyModuleDef module_def;

struct Module {
    static constexpr auto declaration = pyhost::declare_class(
        "kestor.tavi.extractor.linqor.LinqorExtractor",
        "Whether a PC relation holds in a text, and why, as a language model reads it.", &module_def,
        extractor::service::text_extractor_init<Module>, extractor::service::build_model_operation<Module>,
        pyhost::method<&predict>(
            parameters("text"), pyhost::calls("_to_result", "_default_result"),
            "Ask whether a PC relation holds in the first 1000 characters of `text`.\n\n"
            "Returns a new dictionary holding related (a bool) and reason (a str), in that order. A failing\n"
            "service call is logged and, like an answer without extractions, gives the default result."),
        pyhost::static_method<&to_result>(
            parameters("extraction"), pyhost::calls("_to_bool"),
            "Read the classification from one extraction; related is True when the model left it out."),
        pyhost::static_method<&to_bool>(
            parameters("value"), pyhost::calls(),
            "Read an answer as a bool: a bool as it is, a number by its truth, a text when it says\n"
            "true, 1, yes or y (any case, blanks around ignored); anything else is False."),
        pyhost::static_method<&default_result>(
            parameters(), pyhost::calls(),
            "A new {\"related\": False, \"reason\": \"\"}, the answer when the model gives none."));
};

constinit Name class_name{"LinqorExtractor"};
constinit Name strip_method{"strip"};
constinit Name lower_method{"lower"};
constinit Name failure_message{"Failed to classify PC relation with langextract: %s"};

constinit Name related_key{"related"};
constinit Name reason_key{"reason"};

constinit Name yes_words[] = {Name{"true"}, Name{"1"}, Name{"yes"}, Name{"y"}};

using pyhost::empty_text;

// The service cuts longer inputs into pieces of this many characters and answers each one apart; the opening
// alone goes to the model, so one text is one request and one answer.
constexpr Py_ssize_t text_limit = 1000;

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref to_bool(Self<"_to_bool">, PyObject* value) {
    if (PyBool_Check(value)) return Ref::borrow(value);
    if (PyUnicode_Check(value)) {
        // Method calls, not the C routines: a str subclass's own strip and lower are honoured.
        Ref stripped = pyhost::call_method(value, strip_method);
        Ref folded = pyhost::call_method(stripped.get(), lower_method);
        for (const Name& word : yes_words) {
            if (pyhost::check(PyObject_RichCompareBool(folded.get(), word.get(), Py_EQ))) return boolean(true);
        }
        return boolean(false);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) return boolean(pyhost::truthy(value));
    return boolean(false);
}

Ref default_result(Self<"_default_result">) {
    Ref result = own(PyDict_New());
    pyhost::dict_set(result.get(), related_key, Py_False);
    pyhost::dict_set(result.get(), reason_key, empty_text.get());
    return result;
}

Ref to_result(Self<"_to_result"> self, PyObject* extraction) {
    Ref attributes = extractor::service::attributes_of(extraction);
    PyObject* mapping = attributes.get();

    Ref result = own(PyDict_New());
    // Through the class itself: a subclass's own _to_bool is not used here. An extraction without "related"
    // counts as related: the model only produces one when it finds the relation.
    Ref raw_related = pyhost::mapping_get(mapping, related_key, Py_True);
    Ref cls = self.globals()[class_name];
    Ref related = self.call_on<"_to_bool">(cls.get(), raw_related.get());
    pyhost::dict_set(result.get(), related_key, related.get());

    Ref reason = pyhost::mapping_get(mapping, reason_key, empty_text.get());
    pyhost::dict_set(result.get(), reason_key, own(PyObject_Str(reason.get())).get());
    return result;
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

Ref predict(Self<"predict"> self, PyObject* text) {
    pyhost::expect_exact(text, &PyUnicode_Type, "text");

    // Through the instance: a subclass's own _default_result and _to_result are honoured.
    auto fallback = [&] { return expect_result(self.call<"_default_result">()); };

    auto result = extractor::service::guarded_extract(self.globals(), failure_message, self.object(),
                                                      [&] { return opening_of(text); });
    if (!result) return fallback();

    Ref extractions = extractor::service::extractions_of(result->get());
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

    return expect_result(self.call<"_to_result">(extraction.get()));
}

PyModuleDef module_def =
    pyhost::module_definition<Module>("linqor", "PC relation classification: LinqorExtractor.",
                                      pyhost::module_slots<extractor::service::exec_extractor_module<Module>>);

}  // namespace
}  // namespace linqor

PyMODINIT_FUNC PyInit_linqor() { return PyModuleDef_Init(&linqor::module_def); }

// kestor.tavi.extractor.causara: causal relations between the events of a text.
#include "pyhost/containers.hpp"
#include "pyhost/method_table.hpp"
#include "pyhost/text.hpp"
#include "service/service.hpp"

namespace causara {
namespace {

using pyhost::mapping_get;
using pyhost::Name;
using pyhost::own;
using pyhost::parameters;
using pyhost::Ref;

struct Module;
template <pyhost::FixedString Name>
using Self = pyhost::Self<Module, Name>;

Ref predict(Self<"predict"> self, PyObject* text);
Ref to_relation(Self<"_to_relation"> self, PyObject* extraction);
Ref to_strength(Self<"_to_strength"> self, PyObject* value);

extern PyModuleDef module_def;

struct Module {
    static constexpr auto declaration = pyhost::declare_class(
        "kestor.tavi.extractor.causara.CausaraExtractor",
        "Causal relations between the events of a text, read by a language model.", &module_def,
        extractor::service::text_extractor_init<Module>, extractor::service::build_model_operation<Module>,
        pyhost::method<&predict>(
            parameters("text"), pyhost::calls("_to_relation"),
            "Return the relations the model finds in `text`, as a new list of relation dictionaries.\n\n"
            "Each dictionary holds source, source_meta, rel, target, target_meta, strength (a float in\n"
            "[0.0, 1.0]) and strength_reason, in that order. A failing service call is logged and gives []."),
        pyhost::static_method<&to_relation>(
            parameters("extraction"), pyhost::calls("_to_strength"),
            "Turn one extraction into a relation dictionary; {} when source or target is empty."),
        pyhost::static_method<&to_strength>(
            parameters("value"), pyhost::calls(),
            "Read a strength as a float clamped to [0.0, 1.0]; 0.5 when it is not a number."));
};

constinit Name class_name{"CausaraExtractor"};
constinit Name strip_method{"strip"};
constinit Name failure_message{"Failed to extract event relations with langextract: %s"};

constinit Name source_key{"source"};
constinit Name source_meta_key{"source_meta"};
constinit Name rel_key{"rel"};
constinit Name target_key{"target"};
constinit Name target_meta_key{"target_meta"};
constinit Name strength_key{"strength"};
constinit Name strength_reason_key{"strength_reason"};
constinit Name cause_and_effect{"因果"};

using pyhost::empty_text;

double clamp_unit(double x) {
    // Upper bound first and strict comparisons: NaN becomes 1.0 and -0.0 becomes 0.0.
    const double capped = x < 1.0 ? x : 1.0;
    return capped > 0.0 ? capped : 0.0;
}

Ref to_strength(Self<"_to_strength">, PyObject* value) {
    double x;
    if (PyLong_Check(value)) {
        x = PyLong_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred()) pyhost::raise();
    } else if (PyFloat_Check(value)) {
        x = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
        Ref stripped = pyhost::call_method(value, strip_method);
        PyObject* parsed = PyFloat_FromString(stripped.get());
        if (parsed == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) pyhost::raise();
            PyErr_Clear();
            return own(PyFloat_FromDouble(0.5));
        }
        x = PyFloat_AS_DOUBLE(parsed);
        Py_DECREF(parsed);
    } else {
        return own(PyFloat_FromDouble(0.5));
    }
    return own(PyFloat_FromDouble(clamp_unit(x)));
}

Ref to_relation(Self<"_to_relation"> self, PyObject* extraction) {
    Ref attributes = extractor::service::attributes_of(extraction);
    PyObject* mapping = attributes.get();
    if (!pyhost::truthy(mapping_get(mapping, source_key).get())) return own(PyDict_New());
    if (!pyhost::truthy(mapping_get(mapping, target_key).get())) return own(PyDict_New());

    Ref relation = own(PyDict_New());
    pyhost::dict_set(relation.get(), source_key, mapping_get(mapping, source_key, empty_text.get()).get());
    pyhost::dict_set(relation.get(), source_meta_key, mapping_get(mapping, source_meta_key, empty_text.get()).get());
    pyhost::dict_set(relation.get(), rel_key, mapping_get(mapping, rel_key, cause_and_effect.get()).get());
    pyhost::dict_set(relation.get(), target_key, mapping_get(mapping, target_key, empty_text.get()).get());
    pyhost::dict_set(relation.get(), target_meta_key, mapping_get(mapping, target_meta_key, empty_text.get()).get());

    // Through the class itself: a subclass's own _to_strength is not used here.
    Ref raw_strength = mapping_get(mapping, strength_key);
    Ref cls = self.globals()[class_name];
    Ref strength = self.call_on<"_to_strength">(cls.get(), raw_strength.get());
    pyhost::dict_set(relation.get(), strength_key, strength.get());

    Ref reason = mapping_get(mapping, strength_reason_key, empty_text.get());
    pyhost::dict_set(relation.get(), strength_reason_key, own(PyObject_Str(reason.get())).get());
    return relation;
}

Ref predict(Self<"predict"> self, PyObject* text) {
    pyhost::expect_exact(text, &PyUnicode_Type, "text");
    auto result = extractor::service::guarded_extract(self.globals(), failure_message, self.object(),
                                                      [&] { return Ref::borrow(text); });
    Ref relations = own(PyList_New(0));
    if (!result) return relations;

    Ref extractions = extractor::service::extractions_of(result->get());
    if (!pyhost::truthy(extractions.get())) return relations;
    pyhost::for_each(extractions.get(), [&](PyObject* extraction) {
        // Through the instance: a subclass's own _to_relation is honoured.
        Ref relation = self.call<"_to_relation">(extraction);
        if (pyhost::truthy(relation.get())) pyhost::list_append(relations.get(), relation.get());
    });
    return relations;
}

PyModuleDef module_def =
    pyhost::module_definition<Module>("causara", "Causal relation extraction: CausaraExtractor.",
                                      pyhost::module_slots<extractor::service::exec_extractor_module<Module>>);

}  // namespace
}  // namespace causara

PyMODINIT_FUNC PyInit_causara() { return PyModuleDef_Init(&causara::module_def); }

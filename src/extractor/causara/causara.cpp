// kestor.tavi.extractor.causara: causal relations between the events of a text.
#include "pyhost/call.hpp"
#include "pyhost/extension.hpp"
#include "pyhost/guard.hpp"
#include "service/service.hpp"

namespace causara {

using pyhost::check;
using pyhost::getattr;
using pyhost::Globals;
using pyhost::mapping_get;
using pyhost::Name;
using pyhost::own;
using pyhost::Ref;

constinit Name class_name{"CausaraExtractor"};
constinit Name to_relation_name{"_to_relation"};
constinit Name to_strength_name{"_to_strength"};

// What _to_relation and _to_strength resolved to when the module made the class.
enum Original { to_relation_original, to_strength_original };
using State = pyhost::ClassState<2>;
constexpr std::array<const Name*, 2> originals = {&to_relation_name, &to_strength_name};

State& state_of(PyObject* module) { return pyhost::state_of<State>(module); }
constinit Name extractions_field{"extractions"};
constinit Name attributes_field{"attributes"};
constinit Name strip_method{"strip"};
constinit Name failure_message{"Failed to extract event relations with langextract: %s"};

constinit Name source_key{"source"};
constinit Name source_meta_key{"source_meta"};
constinit Name rel_key{"rel"};
constinit Name target_key{"target"};
constinit Name target_meta_key{"target_meta"};
constinit Name strength_key{"strength"};
constinit Name strength_reason_key{"strength_reason"};
constinit Name empty_text{""};
constinit Name cause_and_effect{"因果"};

Ref init(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature =
        pyhost::method_signature("CausaraExtractor.__init__", "config", "prompt_description", "examples");
    auto [config, prompt, examples] = pyhost::bind(signature, args, nargs, kwnames);
    pyhost::expect_exact(config, &PyDict_Type, "config");
    pyhost::expect_exact(prompt, &PyUnicode_Type, "prompt_description");
    pyhost::expect_exact(examples, &PyList_Type, "examples");
    extractor::service::construct(Globals(module), self, config, prompt, examples);
    return Ref::borrow(Py_None);
}

Ref build_model(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extractor::service::build_model("CausaraExtractor._build_model", args, nargs, kwnames);
}

double clamp_unit(double x) {
    // Upper bound first and strict comparisons: NaN becomes 1.0 and -0.0 becomes 0.0.
    const double capped = x < 1.0 ? x : 1.0;
    return capped > 0.0 ? capped : 0.0;
}

Ref strength_of(PyObject* value) {
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

Ref to_strength(PyObject*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::static_signature("CausaraExtractor._to_strength", "value");
    auto [value] = pyhost::bind(signature, args, nargs, kwnames);
    return strength_of(value);
}

Ref relation_of(PyObject* module, PyObject* extraction) {
    Ref attributes = getattr(extraction, attributes_field);
    if (!pyhost::truthy(attributes.get())) attributes = own(PyDict_New());
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
    Ref cls = Globals(module)[class_name];
    Ref strength = pyhost::call_attribute(
        cls.get(), to_strength_name, state_of(module).originals[to_strength_original], [&] { return strength_of(raw_strength.get()); },
        raw_strength.get());
    pyhost::dict_set(relation.get(), strength_key, strength.get());

    Ref reason = mapping_get(mapping, strength_reason_key, empty_text.get());
    pyhost::dict_set(relation.get(), strength_reason_key, own(PyObject_Str(reason.get())).get());
    return relation;
}

Ref to_relation(PyObject*, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::static_signature("CausaraExtractor._to_relation", "extraction");
    auto [extraction] = pyhost::bind(signature, args, nargs, kwnames);
    return relation_of(module, extraction);
}

Ref predict(PyObject* self, PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto signature = pyhost::method_signature("CausaraExtractor.predict", "text");
    auto [text] = pyhost::bind(signature, args, nargs, kwnames);
    pyhost::expect_exact(text, &PyUnicode_Type, "text");

    Globals globals(module);
    auto result = pyhost::guarded(globals, failure_message, [&] {
        Ref extract = extractor::service::entry_point(globals);
        return extractor::service::call(globals, extract.get(), self, text, extractor::service::prompt_description,
                                        extractor::service::examples);
    });
    Ref relations = own(PyList_New(0));
    if (!result) return relations;

    Ref extractions = getattr(result->get(), extractions_field);
    if (!pyhost::truthy(extractions.get())) return relations;
    PyObject* original = state_of(module).originals[to_relation_original];
    pyhost::for_each(extractions.get(), [&](PyObject* extraction) {
        // Through the instance: a subclass's own _to_relation is honoured.
        Ref relation = pyhost::call_attribute(
            self, to_relation_name, original, [&] { return relation_of(module, extraction); }, extraction);
        if (pyhost::truthy(relation.get())) pyhost::list_append(relations.get(), relation.get());
    });
    return relations;
}

extern PyModuleDef module_def;

constexpr const char to_relation_doc[] =
    "_to_relation(extraction)\n--\n\n"
    "Turn one extraction into a relation dictionary; {} when source or target is empty.";
constexpr const char to_strength_doc[] =
    "_to_strength(value)\n--\n\n"
    "Read a strength as a float clamped to [0.0, 1.0]; 0.5 when it is not a number.";

PyMethodDef methods[] = {
    pyhost::init_method<init>("__init__($self, config, prompt_description, examples)\n--\n\n"
                              "Build the model from `config`, keep the prompt and convert the worked examples."),
    pyhost::static_placeholder<build_model>("_build_model", extractor::service::build_model_doc),
    pyhost::instance_method<predict>(
        "predict", "predict($self, text)\n--\n\n"
                   "Return the relations the model finds in `text`, as a new list of relation dictionaries.\n\n"
                   "Each dictionary holds source, source_meta, rel, target, target_meta, strength (a float in\n"
                   "[0.0, 1.0]) and strength_reason, in that order. A failing service call is logged and gives []."),
    pyhost::static_placeholder<to_relation>("_to_relation", to_relation_doc),
    pyhost::static_placeholder<to_strength>("_to_strength", to_strength_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef static_methods[] = {
    pyhost::module_function<build_model>("_build_model", extractor::service::build_model_doc),
    pyhost::module_function<to_relation>("_to_relation", to_relation_doc),
    pyhost::module_function<to_strength>("_to_strength", to_strength_doc),
    {nullptr, nullptr, 0, nullptr},
};

int exec_causara(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        extractor::service::bind_module_names(module);
        const pyhost::ClassSpec spec = {
            "kestor.tavi.extractor.causara.CausaraExtractor",
            "CausaraExtractor(config, prompt_description, examples)\n--\n\n"
            "Causal relations between the events of a text, read by a language model.",
            methods, static_methods, pyhost::init_slot<init, &module_def>};
        pyhost::define_class<State>(module, spec, originals);
    });
}

PyModuleDef module_def = pyhost::module_definition<State>(
    "causara", "Causal relation extraction: CausaraExtractor.", pyhost::module_slots<exec_causara>);

}  // namespace causara

PyMODINIT_FUNC PyInit_causara() { return PyModuleDef_Init(&causara::module_def); }

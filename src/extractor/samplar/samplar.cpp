// kestor.tavi.extractor.samplar: the worked-example records and their conversion into the extraction service's
// example records.
#include "pyhost/calls.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/dispatch.hpp"
#include "pyhost/globals.hpp"
#include "pyhost/method_table.hpp"
#include "pyhost/module.hpp"
#include "pyhost/operation.hpp"
#include "service/service.hpp"

namespace samplar {
namespace {

using pyhost::call_keywords;
using pyhost::check;
using pyhost::getattr;
using pyhost::Globals;
using pyhost::Name;
using pyhost::own;
using pyhost::Ref;

using extractor::service::lx_name;

struct Module;
template <pyhost::FixedString Name>
using Self = pyhost::Self<Module, Name>;

constinit Name data_name{"data"};
constinit Name extraction_class{"Extraction"};
constinit Name example_class{"ExampleData"};
constinit Name text_field{"text"};
constinit Name extractions_field{"extractions"};
constinit Name attrs_field{"attrs"};
constinit Name kind_field{"kind"};
constinit pyhost::KeywordNames extraction_keywords{"extraction_class", "extraction_text", "attributes"};
constinit pyhost::KeywordNames example_keywords{"text", "extractions"};
constinit pyhost::KeywordNames default_factory_keyword{"default_factory"};
constinit pyhost::KeywordNames default_keyword{"default"};
constinit pyhost::KeywordNames dataclass_keywords{"frozen", "namespace"};

Ref service_record_class(const Globals& globals, const Name& name) {
    Ref data = getattr(globals[lx_name].get(), data_name);
    return getattr(data.get(), name);
}

Ref to_langextract_examples(Self<"to_langextract_examples"> self, PyObject* examples);

struct Module {
    static constexpr auto declaration = pyhost::declare_functions(pyhost::function<&to_langextract_examples>(
        pyhost::parameters("examples"),
        "Convert a list of PromptExample into the extraction service's example records.\n\n"
        "Returns a new list with one lx.data.ExampleData per example, each holding one lx.data.Extraction per\n"
        "PromptExtraction (kind -> extraction_class, text -> extraction_text, attrs -> attributes, the very\n"
        "dictionary). `examples` must be exactly a list."));
};

Ref to_langextract_examples(Self<"to_langextract_examples"> self, PyObject* examples) {
    pyhost::expect_exact(examples, &PyList_Type, "examples");
    const Globals& globals = self.globals();
    Ref result = own(PyList_New(0));
    pyhost::for_each(examples, [&](PyObject* example) {
        Ref text = getattr(example, text_field);
        Ref extractions = own(PyList_New(0));
        Ref records = getattr(example, extractions_field);
        pyhost::for_each(records.get(), [&](PyObject* record) {
            Ref make = service_record_class(globals, extraction_class);
            Ref kind = getattr(record, kind_field);
            Ref extraction_text = getattr(record, text_field);
            Ref attrs = getattr(record, attrs_field);
            PyObject* const values[] = {kind.get(), extraction_text.get(), attrs.get()};
            pyhost::list_append(extractions.get(), call_keywords(make.get(), extraction_keywords.get(), values).get());
        });
        Ref make = service_record_class(globals, example_class);
        PyObject* const values[] = {text.get(), extractions.get()};
        pyhost::list_append(result.get(), call_keywords(make.get(), example_keywords.get(), values).get());
    });
    return result;
}

constexpr const char prompt_extraction_doc[] =
    "One expected extraction inside a worked example.\n\n"
    "text: the extraction's text; attrs: its attributes (a new dictionary by default); kind: its class\n"
    "(\"relation\" by default). Immutable; nothing is copied or validated.";
constexpr const char prompt_example_doc[] =
    "One worked example: an input text and the extractions the model should produce for it.\n\n"
    "extractions defaults to a new empty list. Immutable; nothing is copied or validated.";

// A frozen dataclass made through the host's own `dataclasses`, named so that it pickles and prints as if this
// module had declared it.
Ref make_record(PyObject* module, PyObject* make_dataclass, const char* name, PyObject* fields, const char* doc) {
    Ref record_name = own(PyUnicode_FromString(name));
    Ref namespace_dict = own(Py_BuildValue("{s:s}", "__doc__", doc));
    PyObject* const stack[] = {record_name.get(), fields, Py_True, namespace_dict.get()};
    Ref record = own(PyObject_Vectorcall(make_dataclass, stack, 2, dataclass_keywords.get()));
    Ref module_name = own(PyModule_GetNameObject(module));
    check(PyObject_SetAttrString(record.get(), "__module__", module_name.get()));
    check(PyObject_SetAttrString(record.get(), "__qualname__", record_name.get()));
    return record;
}

int exec_samplar(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        Ref lx = own(PyImport_ImportModule("langextract"));
        check(PyModule_AddObjectRef(module, lx_name.text(), lx.get()));

        Ref dataclasses = own(PyImport_ImportModule("dataclasses"));
        Ref typing = own(PyImport_ImportModule("typing"));
        Ref make_dataclass = own(PyObject_GetAttrString(dataclasses.get(), "make_dataclass"));
        Ref field = own(PyObject_GetAttrString(dataclasses.get(), "field"));
        Ref any = own(PyObject_GetAttrString(typing.get(), "Any"));
        Ref typing_dict = own(PyObject_GetAttrString(typing.get(), "Dict"));
        Ref typing_list = own(PyObject_GetAttrString(typing.get(), "List"));
        auto* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);

        PyObject* const dict_factory[] = {reinterpret_cast<PyObject*>(&PyDict_Type)};
        PyObject* const list_factory[] = {reinterpret_cast<PyObject*>(&PyList_Type)};
        Ref relation = own(PyUnicode_FromString("relation"));
        PyObject* const relation_default[] = {relation.get()};
        Ref attrs_field_spec = call_keywords(field.get(), default_factory_keyword.get(), dict_factory);
        Ref kind_field_spec = call_keywords(field.get(), default_keyword.get(), relation_default);
        Ref key_and_value = own(PyTuple_Pack(2, str_type, any.get()));
        Ref attrs_type = own(PyObject_GetItem(typing_dict.get(), key_and_value.get()));

        Ref extraction_fields = own(Py_BuildValue("[(sO)(sOO)(sOO)]", "text", str_type, "attrs", attrs_type.get(),
                                                  attrs_field_spec.get(), "kind", str_type, kind_field_spec.get()));
        Ref prompt_extraction = make_record(module, make_dataclass.get(), "PromptExtraction", extraction_fields.get(),
                                            prompt_extraction_doc);
        check(PyModule_AddObjectRef(module, "PromptExtraction", prompt_extraction.get()));

        Ref extractions_type = own(PyObject_GetItem(typing_list.get(), prompt_extraction.get()));
        Ref extractions_field_spec = call_keywords(field.get(), default_factory_keyword.get(), list_factory);
        Ref example_fields = own(Py_BuildValue("[(sO)(sOO)]", "text", str_type, "extractions", extractions_type.get(),
                                               extractions_field_spec.get()));
        Ref prompt_example =
            make_record(module, make_dataclass.get(), "PromptExample", example_fields.get(), prompt_example_doc);
        check(PyModule_AddObjectRef(module, "PromptExample", prompt_example.get()));

        check(PyModule_AddFunctions(module, pyhost::module_functions<Module>()));
    });
}

PyModuleDef samplar_module = pyhost::module_definition(
    "samplar",
    "Worked-example records (PromptExtraction, PromptExample) and their conversion for the extraction service.",
    pyhost::module_slots<exec_samplar>);

}  // namespace
}  // namespace samplar

PyMODINIT_FUNC PyInit_samplar() { return PyModuleDef_Init(&samplar::samplar_module); }

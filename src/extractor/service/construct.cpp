#include "pyhost/args.hpp"
#include "pyhost/calls.hpp"
#include "service/service.hpp"

namespace extractor::service {
namespace {

using pyhost::check;
using pyhost::getattr;
using pyhost::own;

constinit Name samplar_name{"samplar"};
constinit Name prompt_example_name{"PromptExample"};
constinit Name to_examples_name{"to_langextract_examples"};
constinit Name get_logger_name{"getLogger"};

void add(PyObject* module, const char* name, PyObject* value) { check(PyModule_AddObjectRef(module, name, value)); }

}  // namespace

void bind_module_names(PyObject* module) {
    Ref lx = own(PyImport_ImportModule("langextract"));
    add(module, lx_name.text(), lx.get());
    Ref logging = own(PyImport_ImportModule("logging"));
    add(module, "logging", logging.get());

    PyObject* globals = PyModule_GetDict(module);
    Ref fromlist = own(PyTuple_Pack(2, prompt_example_name.get(), to_examples_name.get()));
    Ref samplar = own(PyImport_ImportModuleLevelObject(samplar_name.get(), globals, nullptr, fromlist.get(), 1));
    add(module, prompt_example_name.text(), getattr(samplar.get(), prompt_example_name).get());
    add(module, to_examples_name.text(), getattr(samplar.get(), to_examples_name).get());

    Ref name = own(PyModule_GetNameObject(module));
    add(module, pyhost::logger_name.text(), pyhost::call_method(logging.get(), get_logger_name, name.get()).get());
}

Ref convert_examples(const pyhost::Globals& globals, PyObject* examples) {
    return pyhost::call(globals[to_examples_name].get(), examples);
}

void expect_constructor_arguments(PyObject* config, PyObject* prompt, PyObject* examples) {
    pyhost::expect_exact(config, &PyDict_Type, "config");
    pyhost::expect_exact(prompt, &PyUnicode_Type, "prompt_description");
    pyhost::expect_exact(examples, &PyList_Type, "examples");
}

void keep_fields(const pyhost::Globals& globals, PyObject* self, PyObject* model, PyObject* prompt,
                 PyObject* examples) {
    check(PyObject_SetAttr(self, model_field.get(), model));
    check(PyObject_SetAttr(self, prompt_field.get(), prompt));
    Ref converted = convert_examples(globals, examples);
    check(PyObject_SetAttr(self, examples_field.get(), converted.get()));
}

}  // namespace extractor::service

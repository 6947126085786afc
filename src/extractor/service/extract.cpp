#include "pyhost/calls.hpp"
#include "service/service.hpp"

namespace extractor::service {
namespace {

using pyhost::getattr;

constinit Name extract_name{"extract"};
constinit Name prompt_validation_name{"prompt_validation"};
constinit Name level_name{"PromptValidationLevel"};
constinit Name off_name{"OFF"};
constinit Name extractions_field{"extractions"};
constinit Name attributes_field{"attributes"};
constinit pyhost::KeywordNames extract_keywords{
    "text_or_documents",      "prompt_description", "examples",   "model",
    "use_schema_constraints", "fence_output",       "fetch_urls", "prompt_validation_level"};

}  // namespace

Ref extract_function(const pyhost::Globals& globals) { return getattr(globals[lx_name].get(), extract_name); }

Ref extract(const pyhost::Globals& globals, PyObject* extract_function, PyObject* self, PyObject* text,
            const Name& prompt, const Name& examples) {
    Ref prompt_value = getattr(self, prompt);
    Ref examples_value = getattr(self, examples);
    Ref model = getattr(self, model_field);
    Ref validation = getattr(globals[lx_name].get(), prompt_validation_name);
    Ref levels = getattr(validation.get(), level_name);
    Ref off = getattr(levels.get(), off_name);
    PyObject* const values[] = {text,     prompt_value.get(), examples_value.get(), model.get(), Py_False, Py_True,
                                Py_False, off.get()};
    return pyhost::call_keywords(extract_function, extract_keywords.get(), values);
}

Ref extractions_of(PyObject* answer) { return getattr(answer, extractions_field); }

Ref attributes_of(PyObject* extraction) {
    Ref attributes = getattr(extraction, attributes_field);
    if (!pyhost::truthy(attributes.get())) attributes = pyhost::own(PyDict_New());
    return attributes;
}

}  // namespace extractor::service

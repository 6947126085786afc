#include "service/service.hpp"

#include "pyhost/call.hpp"

namespace extractor::service {
namespace {

using pyhost::getattr;

constinit Name lx_name{"lx"};
constinit Name extract_name{"extract"};
constinit Name model_name{"model"};
constinit Name prompt_validation_name{"prompt_validation"};
constinit Name level_name{"PromptValidationLevel"};
constinit Name off_name{"OFF"};
constinit pyhost::KeywordNames extract_keywords{"text_or_documents", "prompt_description", "examples", "model",
                                                "use_schema_constraints", "fence_output", "fetch_urls",
                                                "prompt_validation_level"};

}  // namespace

Ref entry_point(const pyhost::Globals& globals) { return getattr(globals[lx_name].get(), extract_name); }

Ref call(const pyhost::Globals& globals, PyObject* entry_point, PyObject* self, PyObject* text, const Name& prompt,
         const Name& examples_field) {
    Ref prompt_value = getattr(self, prompt);
    Ref examples_value = getattr(self, examples_field);
    Ref model = getattr(self, model_name);
    Ref validation = getattr(globals[lx_name].get(), prompt_validation_name);
    Ref levels = getattr(validation.get(), level_name);
    Ref off = getattr(levels.get(), off_name);
    PyObject* const values[] = {text,    prompt_value.get(), examples_value.get(), model.get(),
                                Py_False, Py_True,            Py_False,             off.get()};
    return pyhost::call_keywords(entry_point, extract_keywords.get(), values);
}

}  // namespace extractor::service

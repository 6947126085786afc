// The extraction service as every extractor meets it: building the model and the one extraction call.
#pragma once

#include "pyhost/args.hpp"
#include "pyhost/module.hpp"
#include "pyhost/ref.hpp"

namespace extractor::service {

using pyhost::Name;
using pyhost::Ref;

inline constexpr const char build_model_doc[] =
    "_build_model(config)\n--\n\n"
    "Build the OpenAI-compatible language model from a configuration dictionary.\n\n"
    "The keys \"model\", \"api_key\" and \"base_url\" are required (KeyError otherwise); \"temperature\"\n"
    "defaults to 0.0. The provider is imported at each call.";

// The body of every extractor class's static `_build_model(config)`; `qualname` names it in argument errors.
Ref build_model(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// `lx.extract`, read from the module's namespace.
Ref entry_point(const pyhost::Globals& globals);

// entry_point(text_or_documents=text, prompt_description=self.<prompt>, examples=self.<examples>,
// model=self.model, use_schema_constraints=False, fence_output=True, fetch_urls=False,
// prompt_validation_level=lx.prompt_validation.PromptValidationLevel.OFF), the fields read afresh at every call.
Ref call(const pyhost::Globals& globals, PyObject* entry_point, PyObject* self, PyObject* text, const Name& prompt,
         const Name& examples);

// Binds the names every extractor module holds, in the order Python code would bind them: `lx`, `logging`,
// `PromptExample` and `to_langextract_examples` from the sibling `samplar`, and `logger`, named after the module.
void bind_module_names(PyObject* module);

// The constructor's common part, after the argument checks: `self.model = self._build_model(config)`, then
// `self.<prompt_field> = prompt`, then `self.<examples_field> = to_langextract_examples(examples)`.
void construct(const pyhost::Globals& globals, PyObject* self, PyObject* config, PyObject* prompt, PyObject* examples);

// `to_langextract_examples(examples)`, looked up in the module's namespace.
Ref convert_examples(const pyhost::Globals& globals, PyObject* examples);

inline constinit Name prompt_description{"prompt_description"};
inline constinit Name examples{"examples"};

}  // namespace extractor::service

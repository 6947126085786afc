// The extraction service as every extractor meets it: building the model, constructing an extractor, and the one
// extraction call.
#pragma once

#include "pyhost/dispatch.hpp"
#include "pyhost/extractor_class.hpp"
#include "pyhost/globals.hpp"
#include "pyhost/guard.hpp"
#include "pyhost/module.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/ref.hpp"

#include <optional>

namespace extractor::service {

using pyhost::Name;
using pyhost::Ref;

// The extraction library's name in every module's namespace, and the fields every extractor keeps.
inline constinit Name lx_name{"lx"};
inline constinit Name model_field{"model"};
inline constinit Name prompt_field{"prompt_description"};
inline constinit Name examples_field{"examples"};

// A new OpenAILanguageModel for a configuration dictionary: what `_build_model(config)` returns.
Ref model_for(PyObject* config);

// The static `_build_model(config)` that every extractor class carries, one implementation in each class's table.
template <class Module>
Ref build_model(pyhost::Self<Module, "_build_model">, PyObject* config) {
    return model_for(config);
}

template <class Module>
inline constexpr pyhost::Operation build_model_operation = pyhost::static_method<&build_model<Module>>(
    pyhost::parameters("config"), pyhost::calls(),
    "Build the OpenAI-compatible language model from a configuration dictionary.\n\n"
    "The keys \"model\", \"api_key\" and \"base_url\" are required (KeyError otherwise); \"temperature\"\n"
    "defaults to 0.0. The provider is imported at each call.");

// The type checks every constructor starts with, in parameter order.
void expect_constructor_arguments(PyObject* config, PyObject* prompt, PyObject* examples);

// `self.model = model`, then `self.prompt_description = prompt`, then
// `self.examples = to_langextract_examples(examples)`.
void keep_fields(const pyhost::Globals& globals, PyObject* self, PyObject* model, PyObject* prompt, PyObject* examples);

// The constructor's common part, after the argument checks: the model from `self._build_model(config)`, then the
// fields.
template <class Module>
void construct(pyhost::Self<Module, "__init__"> self, PyObject* config, PyObject* prompt, PyObject* examples) {
    Ref model = self.template call<"_build_model">(config);
    keep_fields(self.globals(), self.object(), model.get(), prompt, examples);
}

// `__init__(config, prompt_description, examples)` of the extractors of a text.
template <class Module>
Ref init_text_extractor(pyhost::Self<Module, "__init__"> self, PyObject* config, PyObject* prompt, PyObject* examples) {
    expect_constructor_arguments(config, prompt, examples);
    construct(self, config, prompt, examples);
    return Ref::borrow(Py_None);
}

template <class Module>
inline constexpr pyhost::Operation text_extractor_init = pyhost::init<&init_text_extractor<Module>>(
    pyhost::parameters("config", "prompt_description", "examples"), pyhost::calls("_build_model"),
    "Build the model from `config`, keep the prompt and convert the worked examples.");

// `to_langextract_examples(examples)`, looked up in the module's namespace.
Ref convert_examples(const pyhost::Globals& globals, PyObject* examples);

// `lx.extract`, read from the module's namespace.
Ref extract_function(const pyhost::Globals& globals);

// extract_function(text_or_documents=text, prompt_description=self.<prompt>, examples=self.<examples>,
// model=self.model, use_schema_constraints=False, fence_output=True, fetch_urls=False,
// prompt_validation_level=lx.prompt_validation.PromptValidationLevel.OFF), the fields read afresh at every call.
Ref extract(const pyhost::Globals& globals, PyObject* extract_function, PyObject* self, PyObject* text,
            const Name& prompt, const Name& examples);

// The extraction call inside the guard: `text()` gives what is sent, after the entry point is looked up. The
// answer, or nothing when an ordinary error was logged with `message`.
template <class Text>
std::optional<Ref> guarded_extract(const pyhost::Globals& globals, const Name& message, PyObject* self, Text&& text,
                                   const Name& prompt = prompt_field, const Name& examples = examples_field) {
    return pyhost::guarded(globals, message, [&] {
        Ref function = extract_function(globals);
        Ref sent = text();
        return extract(globals, function.get(), self, sent.get(), prompt, examples);
    });
}

// The answer's `extractions`, as read.
Ref extractions_of(PyObject* answer);

// An extraction's `attributes`, or a new empty dict when they are empty.
Ref attributes_of(PyObject* extraction);

// Binds the names every extractor module holds, in the order Python code would bind them: `lx`, `logging`,
// `PromptExample` and `to_langextract_examples` from the sibling `samplar`, and `logger`, named after the module.
void bind_module_names(PyObject* module);

// The module's Py_mod_exec: the names above, then the class.
template <class Module>
int exec_extractor_module(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        bind_module_names(module);
        pyhost::define_class<Module>(module, pyhost::state_of<pyhost::StateOf<Module>>(module));
    });
}

}  // namespace extractor::service

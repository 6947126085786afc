#include "service/service.hpp"

#include "pyhost/args.hpp"
#include "pyhost/calls.hpp"
#include "pyhost/containers.hpp"

namespace extractor::service {
namespace {

using pyhost::own;

constinit Name provider_module{"langextract.providers.openai"};
constinit Name provider_class{"OpenAILanguageModel"};
constinit Name model_key{"model"};
constinit Name api_key_key{"api_key"};
constinit Name base_url_key{"base_url"};
constinit Name temperature_key{"temperature"};
constinit pyhost::KeywordNames provider_keywords{"model_id", "api_key", "base_url", "temperature"};

// The provider is imported at each call, never at module load: a missing provider fails the constructor.
Ref import_provider() {
    Ref fromlist = own(PyTuple_Pack(1, provider_class.get()));
    Ref module = own(PyImport_ImportModuleLevelObject(provider_module.get(), nullptr, nullptr, fromlist.get(), 0));
    PyObject* provider = PyObject_GetAttr(module.get(), provider_class.get());
    if (provider == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        pyhost::raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", provider_class.text(),
                             provider_module.text());
    }
    return own(provider);
}

Ref required(PyObject* config, const Name& key) {
    PyObject* value = PyDict_GetItemWithError(config, key.get());
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
    pyhost::raise();
}

}  // namespace

Ref model_for(PyObject* config) {
    pyhost::expect_exact(config, &PyDict_Type, "config");
    Ref provider = import_provider();
    Ref model_id = required(config, model_key);
    Ref api_key = required(config, api_key_key);
    Ref base_url = required(config, base_url_key);
    Ref zero = own(PyFloat_FromDouble(0.0));
    Ref temperature = pyhost::mapping_get(config, temperature_key, zero.get());
    PyObject* const values[] = {model_id.get(), api_key.get(), base_url.get(), temperature.get()};
    return pyhost::call_keywords(provider.get(), provider_keywords.get(), values);
}

}  // namespace extractor::service

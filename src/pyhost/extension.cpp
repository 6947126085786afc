#include "pyhost/extension.hpp"

#include <cstring>

namespace pyhost {

void define_class(PyObject* module, const ClassSpec& spec, std::span<const Name* const> operations, PyObject*& cls,
                  PyObject** originals) {
    Ref made = new_class(module, spec.dotted_name, spec.doc, spec.methods, spec.init);
    if (spec.static_methods != nullptr) install_static_methods(made.get(), module, spec.static_methods);
    for (std::size_t i = 0; i < operations.size(); ++i) {
        Ref original = class_attribute(made.get(), *operations[i]);
        Py_XSETREF(originals[i], original.release());
    }
    Py_XSETREF(cls, Ref(made).release());
    const char* name = std::strrchr(spec.dotted_name, '.');
    check(PyModule_AddObjectRef(module, name != nullptr ? name + 1 : spec.dotted_name, made.get()));
}

}  // namespace pyhost

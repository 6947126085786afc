#include "pyhost/extractor_class.hpp"

#include <cstring>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace pyhost {
namespace {

// Instances have a layout of their own on every supported interpreter (3.12 would decide so whatever the field
// order; 3.11 would not with the dict last), so two extractor classes are never bases of one class anywhere.
struct Instance {
    PyObject_HEAD PyObject* weakrefs;
    PyObject* dict;
};

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    instance_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef instance_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Instance, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Instance, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Ref new_class(PyObject* module, const detail::ClassParts& parts) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(parts.doc)},
        {Py_tp_methods, parts.methods},
        {Py_tp_members, instance_members},
        {Py_tp_getset, instance_getset},
        {Py_tp_init, reinterpret_cast<void*>(parts.init)},
        {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {parts.dotted_name, sizeof(Instance), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return own(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// Replaces each static method's placeholder by staticmethod(its function bound to `module`), which receives the
// module as `self` and so can read module-level names; the class __dict__ keeps the declaration order.
void install_static_methods(PyObject* cls, PyObject* module, PyMethodDef* functions) {
    Ref module_name = own(PyModule_GetNameObject(module));
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        Ref function = own(PyCFunction_NewEx(def, module, module_name.get()));
        Ref method = own(PyStaticMethod_New(function.get()));
        check(PyObject_SetAttrString(cls, def->ml_name, method.get()));
    }
}

// The module of the first class in type(self).__mro__ that `def` created.
PyObject* module_of_instance(PyObject* self, PyModuleDef* def) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == def) return module;
    }
    raise_format(PyExc_TypeError, "%.200s is not an extractor of this module", Py_TYPE(self)->tp_name);
}

}  // namespace

PyObject* instance_dict(PyObject* self) noexcept {
    Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

Ref class_attribute(PyObject* cls, const Name& name) { return own(PyObject_GetAttr(cls, name.get())); }

namespace detail {

void define_class(PyObject* module, const ClassParts& parts, std::span<const Operation> operations, PyObject*& cls,
                  PyObject** originals) {
    Ref made = new_class(module, parts);
    install_static_methods(made.get(), module, parts.static_functions);
    for (std::size_t i = 0; i < operations.size(); ++i) {
        Ref original = own(PyObject_GetAttrString(made.get(), operations[i].name));
        Py_XSETREF(originals[i], original.release());
    }
    Py_XSETREF(cls, Ref(made).release());
    const char* name = std::strrchr(parts.dotted_name, '.');
    check(PyModule_AddObjectRef(module, name != nullptr ? name + 1 : parts.dotted_name, made.get()));
}

int run_init(const Owner& owner, const Operation& init, PyModuleDef* def, PyObject* self, PyObject* args,
             PyObject* kwargs) noexcept {
    return barrier_status([&] {
        PyObject* module = module_of_instance(self, def);
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
        std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        // The keyword values are held for the call: a caller that kept the dict could change it while the
        // constructor runs host code.
        std::vector<Ref> held_values;
        Ref kwnames;
        if (nkw > 0) {
            kwnames = own(PyTuple_New(nkw));
            held_values.reserve(static_cast<std::size_t>(nkw));
            Py_ssize_t position = 0;
            Py_ssize_t i = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(kwargs, &position, &key, &value) && i < nkw) {
                PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
                held_values.push_back(Ref::borrow(value));
                stack[nargs + i++] = value;
            }
        }
        const Arguments bound = bind(owner, init.name, init.parameters, stack.data(), nargs, kwnames.get());
        init.body({self, module}, bound.data());
    });
}

}  // namespace detail
}  // namespace pyhost

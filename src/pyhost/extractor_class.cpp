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

}  // namespace

namespace detail {

void define_class(PyObject* module, const ClassParts& parts, const Name* names, std::size_t count, PyObject*& cls,
                  PyObject** originals) {
    Ref made = new_class(module, parts);
    install_static_methods(made.get(), module, parts.static_functions);
    for (std::size_t i = 0; i < count; ++i) {
        Ref original = own(PyObject_GetAttr(made.get(), names[i].get()));
        Py_XSETREF(originals[i], original.release());
    }
    Py_XSETREF(cls, Py_NewRef(made.get()));
    const char* name = std::strrchr(parts.dotted_name, '.');
    check(PyModule_AddObjectRef(module, name != nullptr ? name + 1 : parts.dotted_name, made.get()));
}

PyObject* module_of_instance(PyObject* self, PyModuleDef* def) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), def);
    if (module == nullptr) raise();
    return module;
#else
    // 3.10 has this walk only as a private function (_PyType_GetModuleByDef).
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == def) return module;
    }
    raise_format(PyExc_TypeError, "%.200s is not an extractor of this module", Py_TYPE(self)->tp_name);
#endif
}

InitArguments::InitArguments(PyObject* args, PyObject* kwargs) : nargs_(PyTuple_GET_SIZE(args)) {
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    stack_.resize(static_cast<std::size_t>(nargs_ + nkw));
    for (Py_ssize_t i = 0; i < nargs_; ++i) stack_[i] = PyTuple_GET_ITEM(args, i);
    if (nkw == 0) return;
    kwnames_ = own(PyTuple_New(nkw));
    held_values_.reserve(static_cast<std::size_t>(nkw));
    Py_ssize_t position = 0;
    Py_ssize_t i = 0;
    PyObject* key;
    PyObject* value;
    // The collector may run when the tuple is made, and a finalizer can reach a dict that a C caller passed as
    // it is: the dict is read no further than the places made for it, and a change of size is refused.
    while (i < nkw && PyDict_Next(kwargs, &position, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(key));
        held_values_.push_back(Ref::borrow(value));
        stack_[nargs_ + i++] = value;
    }
    if (i != nkw || PyDict_GET_SIZE(kwargs) != nkw) {
        raise_format(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
}

}  // namespace detail
}  // namespace pyhost

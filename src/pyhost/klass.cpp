#include "pyhost/klass.hpp"

#include "pyhost/call.hpp"

#include <cstddef>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace pyhost {
namespace {

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

}  // namespace

PyObject* instance_dict(PyObject* self) noexcept {
    Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

Ref new_class(PyObject* module, const char* dotted_name, const char* doc, PyMethodDef* methods, initproc init) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods},
        {Py_tp_members, instance_members},
        {Py_tp_getset, instance_getset},
        {Py_tp_init, reinterpret_cast<void*>(init)},
        {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {dotted_name, sizeof(Instance), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                        slots};
    return own(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

void install_static_methods(PyObject* cls, PyObject* module, PyMethodDef* functions) {
    Ref module_name = own(PyModule_GetNameObject(module));
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        Ref function = own(PyCFunction_NewEx(def, module, module_name.get()));
        Ref method = own(PyStaticMethod_New(function.get()));
        check(PyObject_SetAttrString(cls, def->ml_name, method.get()));
    }
}

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

Ref class_attribute(PyObject* cls, const Name& name) { return own(PyObject_GetAttr(cls, name.get())); }

int run_init(MethodImpl impl, PyModuleDef* def, PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
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
        impl(self, module, stack.data(), nargs, kwnames.get());
    });
}

}  // namespace pyhost

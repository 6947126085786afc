#include "pyhost/dispatch.hpp"

#include "pyhost/containers.hpp"
#include "pyhost/instance.hpp"

namespace pyhost {
namespace {

// 0 when the class has no valid version.
unsigned int version_of(PyTypeObject* type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The operations that the class's own attribute lookup finds as the module's own.
OperationSet own_on_class(PyTypeObject* type, const DispatchState& state) {
    OwnSets& sets = *state.own_sets;
    if (const unsigned int version = version_of(type); version != 0) {
        for (const OwnSets::Entry& entry : sets.entries) {
            if (entry.type == type && entry.version == version) return entry.own;
        }
    }
    // A name the class cannot give is not the module's own; the error it raises is Python's to raise, when a step
    // looks the name up through the interpreter. Such answers are not kept.
    bool complete = true;
    auto lookup = [&] {
        OperationSet found = 0;
        for (std::size_t op = 0; op < state.count; ++op) {
            Ref attribute = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), state.names[op].get()));
            if (!attribute) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
                PyErr_Clear();
                complete = false;
            } else if (attribute.get() == state.originals[op]) {
                found |= OperationSet{1} << op;
            }
        }
        return found;
    };
    // The first pass gives the class a version if it can have one; answers read again under that same version
    // belong to it. Should the class change under the second pass too, nothing counts as the module's own for this
    // call, which is always right.
    OperationSet found = lookup();
    const unsigned int before = version_of(type);
    if (before == 0 || !complete) return found;
    found = lookup();
    if (version_of(type) != before) return 0;
    if (!complete) return found;
    sets.entries[sets.next] = {type, before, found};
    sets.next = (sets.next + 1) % sets.entries.size();
    return found;
}

}  // namespace

void Dispatch::resolve() {
    PyTypeObject* type = Py_TYPE(self_);
    const DispatchState state = state_of_(module_);
    own_ = type->tp_getattro == PyObject_GenericGetAttr ? own_on_class(type, state) : 0;
    // The instance's own __dict__ comes first for these names. Its fields never start with an underscore, as every
    // operation called does, so the usual instance is cleared by one pass over a handful of keys.
    if (PyObject* dict = instance_dict(self_); own_ != 0 && dict != nullptr && PyDict_GET_SIZE(dict) != 0) {
        for_each_key(dict, [&](PyObject* key) {
            if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_') return;
            for (std::size_t op = 0; op < state.count; ++op) {
                if (PyUnicode_Compare(key, state.names[op].get()) == 0) own_ &= ~(OperationSet{1} << op);
            }
        });
    }
    resolved_ = true;
}

bool Dispatch::own_on(PyObject* owner, std::size_t operation) {
    if (Py_TYPE(owner) != &PyType_Type) return false;
    return (own_on_class(reinterpret_cast<PyTypeObject*>(owner), state_of_(module_)) >> operation) & 1;
}

}  // namespace pyhost

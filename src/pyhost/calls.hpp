// Attribute reads and calls on host objects, all throwing ErrorAlreadySet on failure.
#pragma once

#include "pyhost/ref.hpp"

#include <cstddef>

namespace pyhost {

inline Ref getattr(PyObject* object, const Name& name) { return own(PyObject_GetAttr(object, name.get())); }

template <class... Args>
Ref call(PyObject* callable, Args... args) {
    // Slot 0 stays free so that bound methods can prepend `self` without copying (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[sizeof...(Args) + 1] = {nullptr, args...};
    return own(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Ref call_method(PyObject* self, const Name& name, Args... args) {
    PyObject* stack[] = {self, args...};
    return own(
        PyObject_VectorcallMethod(name.get(), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A call with keyword arguments only; `values` line up with the names in `kwnames`.
template <std::size_t N>
Ref call_keywords(PyObject* callable, PyObject* kwnames, PyObject* const (&values)[N]) {
    PyObject* stack[N + 1];
    stack[0] = nullptr;
    for (std::size_t i = 0; i < N; ++i) stack[i + 1] = values[i];
    return own(PyObject_Vectorcall(callable, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A tuple of interned keyword names, made on first use.
template <std::size_t N>
class KeywordNames {
public:
    template <class... Texts>
    constexpr explicit KeywordNames(Texts... texts) noexcept : texts_{texts...} {}

    PyObject* get() const {
        if (tuple_ == nullptr) {
            Ref tuple = own(PyTuple_New(N));
            for (std::size_t i = 0; i < N; ++i) {
                PyObject* name = PyUnicode_InternFromString(texts_[i]);
                if (name == nullptr) raise();
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
            }
            tuple_ = tuple.release();
        }
        return tuple_;
    }

private:
    const char* texts_[N];
    mutable PyObject* tuple_ = nullptr;
};

template <class... Texts>
KeywordNames(Texts...) -> KeywordNames<sizeof...(Texts)>;

}  // namespace pyhost

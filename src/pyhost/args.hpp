// Argument binding and argument type checks, written once for every operation of every module.
#pragma once

#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>

namespace pyhost {

// The parameters of an operation as Python code would declare them: the first `required` have no default.
// `method` counts the bound instance in arity messages, as Python counts `self`.
template <std::size_t N>
struct Signature {
    const char* qualname;
    std::array<const char*, N> params;
    std::size_t required = N;
    bool method = false;
};

template <class... Params>
constexpr auto method_signature(const char* qualname, Params... params) {
    return Signature<sizeof...(Params)>{qualname, {params...}, sizeof...(Params), true};
}

template <class... Params>
constexpr auto static_signature(const char* qualname, Params... params) {
    return Signature<sizeof...(Params)>{qualname, {params...}, sizeof...(Params), false};
}

namespace detail {
struct SignatureView {
    const char* qualname;
    const char* const* params;
    std::size_t count;
    std::size_t required;
    bool method;
};
// Fills `out` with borrowed references, NULL for an optional parameter that was not given.
void bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

template <std::size_t N>
SignatureView view(const Signature<N>& sig) {
    return {sig.qualname, sig.params.data(), N, sig.required, sig.method};
}
}  // namespace detail

// Binds a vectorcall argument vector: too many or too few arguments, an unknown keyword or a parameter given twice
// raise TypeError with the message Python itself would give.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    detail::bind_fastcall(detail::view(sig), args, nargs, kwnames, out.data());
    return out;
}

// TypeError "Argument 'name' has incorrect type (expected dict, got MyDict)" unless `value` is exactly of `type`:
// subclasses and None are refused.
void expect_exact(PyObject* value, PyTypeObject* type, const char* name);

inline void expect_exact_or_none(PyObject* value, PyTypeObject* type, const char* name) {
    if (value != Py_None) expect_exact(value, type, name);
}

// An integer parameter: any number is taken and truncated to an int; anything else is refused with the same
// message as a wrong exact type.
Ref expect_integer(PyObject* value, const char* name);

}  // namespace pyhost

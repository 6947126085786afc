#include "pyhost/args.hpp"

#include <cstring>
#include <string>

namespace pyhost {
namespace detail {
namespace {

std::ptrdiff_t find_param(const SignatureView& sig, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

void bind_keyword(const SignatureView& sig, PyObject* keyword, PyObject* value, PyObject** out) {
    std::ptrdiff_t index = find_param(sig, keyword);
    if (index < 0) {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.qualname, keyword);
    }
    if (out[index] != nullptr) {
        raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.qualname, keyword);
    }
    out[index] = value;
}

// The arity checks that follow keyword binding, in the order and wording of the interpreter's own messages.
void check_arity(const SignatureView& sig, Py_ssize_t nargs, PyObject** out) {
    const Py_ssize_t self = sig.method ? 1 : 0;
    if (nargs > static_cast<Py_ssize_t>(sig.count)) {
        const Py_ssize_t most = static_cast<Py_ssize_t>(sig.count) + self;
        const Py_ssize_t least = static_cast<Py_ssize_t>(sig.required) + self;
        const Py_ssize_t given = nargs + self;
        std::string takes = least == most ? std::to_string(most) + (most == 1 ? " positional argument"
                                                                              : " positional arguments")
                                          : "from " + std::to_string(least) + " to " + std::to_string(most) +
                                                " positional arguments";
        raise_format(PyExc_TypeError, "%s() takes %s but %zd %s given", sig.qualname, takes.c_str(), given,
                     given == 1 ? "was" : "were");
    }
    std::string missing;
    int count = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            ++count;
            last = i;
        }
    }
    if (count == 0) return;
    int seen = 0;
    for (std::size_t i = 0; i <= last; ++i) {
        if (out[i] != nullptr) continue;
        ++seen;
        if (seen > 1) missing += count == 2 ? " and " : (seen == count ? ", and " : ", ");
        missing += std::string("'") + sig.params[i] + "'";
    }
    raise_format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", sig.qualname, count,
                 count == 1 ? "" : "s", missing.c_str());
}

}  // namespace

void bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    const Py_ssize_t positional = nargs < static_cast<Py_ssize_t>(sig.count) ? nargs
                                                                               : static_cast<Py_ssize_t>(sig.count);
    for (Py_ssize_t i = 0; i < positional; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
        }
    }
    check_arity(sig, nargs, out);
}

}  // namespace detail

void expect_exact(PyObject* value, PyTypeObject* type, const char* name) {
    if (Py_IS_TYPE(value, type)) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
}

Ref expect_integer(PyObject* value, const char* name) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    // PyNumber_Long would also parse text, so anything that is not a number is refused first.
    if (!PyNumber_Check(value)) {
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                     "int", Py_TYPE(value)->tp_name);
    }
    return own(PyNumber_Long(value));
}

}  // namespace pyhost

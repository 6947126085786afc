#include "pyhost/args.hpp"

#include <string>

namespace pyhost {
namespace {

// "Owner.name" as the interpreter writes a qualified name in its messages.
std::string qualname(const Owner& owner, const char* name) {
    return owner.class_name != nullptr ? std::string(owner.class_name) + "." + name : std::string(name);
}

std::ptrdiff_t find_parameter(const Parameters& parameters, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < parameters.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// The arity checks that follow keyword binding, in the order and wording of the interpreter's own messages.
void check_arity(const Owner& owner, const char* name, const Parameters& parameters, Py_ssize_t nargs,
                 const Arguments& bound) {
    const Py_ssize_t self = owner.counts_self ? 1 : 0;
    if (nargs > static_cast<Py_ssize_t>(parameters.count)) {
        const Py_ssize_t most = static_cast<Py_ssize_t>(parameters.count) + self;
        const Py_ssize_t least = static_cast<Py_ssize_t>(parameters.required) + self;
        const Py_ssize_t given = nargs + self;
        std::string takes =
            least == most ? std::to_string(most) + (most == 1 ? " positional argument" : " positional arguments")
                          : "from " + std::to_string(least) + " to " + std::to_string(most) + " positional arguments";
        raise_format(PyExc_TypeError, "%s() takes %s but %zd %s given", qualname(owner, name).c_str(), takes.c_str(),
                     given, given == 1 ? "was" : "were");
    }
    std::string missing;
    int count = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (bound[i] == nullptr) {
            ++count;
            last = i;
        }
    }
    if (count == 0) return;
    int seen = 0;
    for (std::size_t i = 0; i <= last; ++i) {
        if (bound[i] != nullptr) continue;
        ++seen;
        if (seen > 1) missing += count == 2 ? " and " : (seen == count ? ", and " : ", ");
        missing += std::string("'") + parameters.names[i] + "'";
    }
    raise_format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", qualname(owner, name).c_str(),
                 count, count == 1 ? "" : "s", missing.c_str());
}

}  // namespace

Arguments bind(const Owner& owner, const char* name, const Parameters& parameters, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
    Arguments bound{};
    const auto count = static_cast<Py_ssize_t>(parameters.count);
    for (Py_ssize_t i = 0; i < (nargs < count ? nargs : count); ++i) bound[i] = args[i];
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
            const std::ptrdiff_t index = find_parameter(parameters, keyword);
            if (index < 0) {
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             qualname(owner, name).c_str(), keyword);
            }
            if (bound[index] != nullptr) {
                raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                             qualname(owner, name).c_str(), keyword);
            }
            bound[index] = args[nargs + i];
        }
    }
    check_arity(owner, name, parameters, nargs, bound);
    return bound;
}

namespace {

[[noreturn]] void refuse(PyObject* value, const char* expected, const char* name) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(value)->tp_name);
}

}  // namespace

void expect_exact(PyObject* value, PyTypeObject* type, const char* name) {
    if (!Py_IS_TYPE(value, type)) refuse(value, type->tp_name, name);
}

Ref expect_integer(PyObject* value, const char* name) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    // PyNumber_Long would also parse text, so anything that is not a number is refused first.
    if (!PyNumber_Check(value)) refuse(value, "int", name);
    return own(PyNumber_Long(value));
}

}  // namespace pyhost

// Argument binding and argument type checks, written once for every operation of every module.
#pragma once

#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>
#include <type_traits>

namespace pyhost {

inline constexpr std::size_t max_parameters = 8;

// A parameter that may be left out; it binds to NULL then, and its text signature shows `=None`.
struct Optional {
    const char* name;
};

// The parameters of an operation as Python code would declare them: the first `required` have no default.
struct Parameters {
    std::array<const char*, max_parameters> names{};
    std::size_t count = 0;
    std::size_t required = 0;
};

template <class... Params>
constexpr Parameters parameters(Params... params) {
    static_assert(sizeof...(Params) <= max_parameters);
    Parameters result;
    bool optional_seen = false;
    [[maybe_unused]] auto add = [&](auto param) {
        if constexpr (std::is_same_v<decltype(param), Optional>) {
            result.names[result.count++] = param.name;
            optional_seen = true;
        } else {
            if (optional_seen) throw "a required parameter cannot follow an optional one";
            result.names[result.count++] = param;
            ++result.required;
        }
    };
    (add(params), ...);
    return result;
}

// Borrowed references to the bound arguments, in parameter order.
using Arguments = std::array<PyObject*, max_parameters>;

// Who an operation belongs to, as its argument errors name it: "CausaraExtractor.predict()", or "name()" for a
// module function. `counts_self` makes arity messages count the bound instance, as Python counts `self`.
struct Owner {
    const char* class_name;  // NULL for a module function
    bool counts_self;
};

// Binds a vectorcall argument vector: too many or too few arguments, an unknown keyword or a parameter given twice
// raise TypeError with the message Python itself would give.
Arguments bind(const Owner& owner, const char* name, const Parameters& parameters, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames);

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

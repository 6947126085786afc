// Text signatures, written when compiling: "name($self, a, b=None)\n--\n\n" and the doc, which the interpreter
// turns into `__text_signature__` for `inspect.signature` and `help()`.
#pragma once

#include "pyhost/operation.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace pyhost {
namespace detail {

struct Measure {
    std::size_t size = 0;
    constexpr void put(const char* text) { size += std::string_view(text).size(); }
};

template <std::size_t N>
struct Write {
    std::array<char, N> text{};
    std::size_t at = 0;
    constexpr void put(const char* text_part) {
        for (char c : std::string_view(text_part)) text[at++] = c;
    }
};

template <class Out>
constexpr void put_doc(Out& out, const char* name, bool with_self, const Parameters& parameters, const char* doc) {
    out.put(name);
    out.put("(");
    if (with_self) out.put(parameters.count != 0 ? "$self, " : "$self");
    for (std::size_t i = 0; i < parameters.count; ++i) {
        if (i != 0) out.put(", ");
        out.put(parameters.names[i]);
        if (i >= parameters.required) out.put("=None");
    }
    out.put(")\n--\n\n");
    out.put(doc);
}

template <class Put>
constexpr std::size_t measured(Put put) {
    Measure measure;
    put(measure);
    return measure.size;
}

template <std::size_t Size, class Put>
constexpr std::array<char, Size + 1> written(Put put) {
    Write<Size + 1> write;
    put(write);
    return write.text;
}

template <const auto& Table, std::size_t I>
constexpr auto put_operation_doc = [](auto& out) {
    const Operation& op = Table.operations[I];
    put_doc(out, op.name, op.kind == Kind::init || op.kind == Kind::method, op.parameters, op.doc);
};

template <const auto& Declaration>
constexpr auto put_class_doc = [](auto& out) {
    const Operation& init = Declaration.operations[Declaration.index("__init__")];
    put_doc(out, Declaration.short_name(), false, init.parameters, Declaration.doc);
};

}  // namespace detail

template <const auto& Table, std::size_t I>
inline constexpr auto operation_doc =
    detail::written<detail::measured(detail::put_operation_doc<Table, I>)>(detail::put_operation_doc<Table, I>);

template <const auto& Declaration>
inline constexpr auto class_doc =
    detail::written<detail::measured(detail::put_class_doc<Declaration>)>(detail::put_class_doc<Declaration>);

}  // namespace pyhost

// A module's operations, each declared once: its name, kind, parameters, doc, implementation and the operations it
// calls. Everything else is derived from that: the method tables (method_table.hpp), the text signatures that
// `inspect.signature` and `help()` read (signature.hpp), the argument binding (args.hpp) and the calls from one
// operation to another (dispatch.hpp), as Argument Clinic derives them for the interpreter's own modules.
#pragma once

#include "pyhost/args.hpp"
#include "pyhost/ref.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace pyhost {

enum class Kind { init, method, static_method, function };

// A string usable as a template argument: `Self<Module, "_dfs">`.
template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

class Dispatch;

// An implementation is `Ref impl(Self<Module, "name"> self, PyObject*... arguments)`, with its arguments in parameter
// order (NULL for an optional one not given). `Module` is the tag whose `declaration` lists the operation; `self` is
// what it runs in, and how it calls the operations it declares it calls (dispatch.hpp).
template <class Module, FixedString Name>
class Self;

// The operations an operation calls, through the instance (`self._dfs(...)`) or through the class.
inline constexpr std::size_t max_calls = 4;

struct Calls {
    std::array<std::string_view, max_calls> names{};
    std::size_t count = 0;
};

template <class... Names>
constexpr Calls calls(Names... names) {
    static_assert(sizeof...(Names) <= max_calls);
    return {{std::string_view(names)...}, sizeof...(Names)};
}

// Runs an implementation for one call from the host.
using Implementation = Ref (*)(Dispatch& dispatch, PyObject* const* arguments);

struct Operation {
    const char* name;
    Kind kind;
    Parameters parameters;
    Calls calls;
    Implementation implementation;
    const char* doc;  // what help() shows below the signature
};

namespace detail {

template <class F>
struct Signature;

template <class Module, FixedString Name, class... Params>
struct Signature<Ref (*)(Self<Module, Name>, Params...)> {
    using Context = Self<Module, Name>;
    static constexpr FixedString name = Name;
    static constexpr std::size_t arity = sizeof...(Params);
};

template <auto Impl>
Ref implement(Dispatch& dispatch, PyObject* const* arguments) {
    using Signature = detail::Signature<decltype(Impl)>;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Impl(typename Signature::Context(dispatch), arguments[I]...);
    }(std::make_index_sequence<Signature::arity>{});
}

template <auto Impl>
constexpr Operation declared(Kind kind, Parameters parameters, Calls calls, const char* doc) {
    using Signature = detail::Signature<decltype(Impl)>;
    if (parameters.count != Signature::arity) throw "the parameters declared do not match the implementation";
    return {Signature::name.text, kind, parameters, calls, &implement<Impl>, doc};
}

}  // namespace detail

// The declarations; the name is the implementation's.
template <auto Impl>
constexpr Operation method(Parameters parameters, Calls calls, const char* doc) {
    return detail::declared<Impl>(Kind::method, parameters, calls, doc);
}

template <auto Impl>
constexpr Operation static_method(Parameters parameters, Calls calls, const char* doc) {
    return detail::declared<Impl>(Kind::static_method, parameters, calls, doc);
}

// `__init__`, both the tp_init slot that `Class(...)` runs and a method, so that it has a signature and
// `super().__init__(...)` is a direct call.
template <auto Impl>
constexpr Operation init(Parameters parameters, Calls calls, const char* doc) {
    return detail::declared<Impl>(Kind::init, parameters, calls, doc);
}

template <auto Impl>
constexpr Operation function(Parameters parameters, const char* doc) {
    return detail::declared<Impl>(Kind::function, parameters, pyhost::calls(), doc);
}

// A module's operations: the methods of its one class, or its functions.
template <std::size_t N>
struct OperationTable {
    std::array<Operation, N> operations;

    static constexpr std::size_t size = N;

    consteval std::size_t index(std::string_view name) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (name == operations[i].name) return i;
        }
        throw "no operation of that name is declared";
    }
};

// A module's one class.
template <std::size_t N>
struct ClassDeclaration : OperationTable<N> {
    const char* dotted_name;  // "kestor.tavi.extractor.causara.CausaraExtractor"
    const char* doc;          // below the signature its `__init__` gives
    PyModuleDef* module_def;  // finds the module of a subclass instance, which tp_init is not told

    constexpr const char* short_name() const {
        const char* name = dotted_name;
        for (const char* at = dotted_name; *at != '\0'; ++at) {
            if (*at == '.') name = at + 1;
        }
        return name;
    }
};

template <class T>
inline constexpr bool is_class_declaration = false;

template <std::size_t N>
inline constexpr bool is_class_declaration<ClassDeclaration<N>> = true;

namespace detail {

// What calling through the instance relies on: every operation called is declared, and its name starts with an
// underscore, as the fields of an instance never do (dispatch.cpp reads the instance __dict__ with that in mind).
template <std::size_t N>
consteval std::array<Operation, N> checked(const std::array<Operation, N>& operations) {
    for (const Operation& operation : operations) {
        for (std::size_t i = 0; i < operation.calls.count; ++i) {
            const std::string_view callee = operation.calls.names[i];
            if (callee.empty() || callee.front() != '_') throw "an operation called must start with an underscore";
            if (std::none_of(operations.begin(), operations.end(),
                             [&](const Operation& other) { return callee == other.name; })) {
                throw "an operation calls one that is not declared";
            }
        }
    }
    return operations;
}

}  // namespace detail

// The class's operations in the order of the class __dict__.
template <class... Operations>
consteval auto declare_class(const char* dotted_name, const char* doc, PyModuleDef* module_def,
                             const Operations&... operations) {
    constexpr std::size_t count = sizeof...(Operations);
    return ClassDeclaration<count>{
        {detail::checked(std::array<Operation, count>{operations...})}, dotted_name, doc, module_def};
}

template <class... Operations>
consteval auto declare_functions(const Operations&... operations) {
    constexpr std::size_t count = sizeof...(Operations);
    return OperationTable<count>{detail::checked(std::array<Operation, count>{operations...})};
}

namespace detail {

template <class Module, std::size_t... I>
constexpr std::array<Name, sizeof...(I)> names_of(std::index_sequence<I...>) {
    return {Name{Module::declaration.operations[I].name}...};
}

}  // namespace detail

// The interned names of a module's operations, in declaration order.
template <class Module>
inline constinit std::array<Name, Module::declaration.size> operation_names =
    detail::names_of<Module>(std::make_index_sequence<Module::declaration.size>{});

}  // namespace pyhost

// Every operation of a module declared once: its name, kind, parameters, doc and implementation. The method
// tables, the text signatures that `inspect.signature` and `help()` read, and the argument binding are derived from
// that declaration, as Argument Clinic derives them for the interpreter's own modules.
#pragma once

#include "pyhost/args.hpp"
#include "pyhost/errors.hpp"
#include "pyhost/ref.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace pyhost {

enum class Kind { init, method, static_method, function };

// What an operation runs in: its instance (NULL for a static method or a module function) and its module.
struct Scope {
    PyObject* self;
    PyObject* module;
};

// An operation's body receives its arguments bound in parameter order, NULL for an optional one not given.
using Body = Ref (*)(Scope scope, PyObject* const* arguments);

struct Operation {
    const char* name;
    Kind kind;
    Parameters parameters;
    Body body;
    const char* doc;  // what help() shows below the signature
};

// A string usable as a template argument: `Self<"_dfs">`.
template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// The parameters an implementation takes after its first, which receives what it runs in.
template <class F>
struct Implementation;

template <class Result, class First, class... Params>
struct Implementation<Result (*)(First, Params...)> {
    using Context = First;
    static constexpr std::size_t arity = sizeof...(Params);
};

template <auto Impl>
inline constexpr std::size_t arity_of = Implementation<decltype(Impl)>::arity;

// Calls `impl(context, arguments[0], ..., arguments[arity - 1])`.
template <auto Impl, class Context>
Ref apply(Context&& context, PyObject* const* arguments) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Impl(std::forward<Context>(context), arguments[I]...);
    }(std::make_index_sequence<arity_of<Impl>>{});
}

template <auto Impl>
Ref scoped_body(Scope scope, PyObject* const* arguments) {
    return apply<Impl>(scope, arguments);
}

// Fails the constant evaluation of a declaration whose parameters do not match its implementation.
constexpr Parameters checked(Parameters parameters, std::size_t implemented) {
    if (parameters.count != implemented) throw "the parameters declared do not match the implementation";
    return parameters;
}

// The declarations, for implementations `Ref impl(pyhost::Scope, PyObject*...)`.
template <auto Impl>
constexpr Operation method(const char* name, Parameters parameters, const char* doc) {
    return {name, Kind::method, checked(parameters, arity_of<Impl>), &scoped_body<Impl>, doc};
}

template <auto Impl>
constexpr Operation static_method(const char* name, Parameters parameters, const char* doc) {
    return {name, Kind::static_method, checked(parameters, arity_of<Impl>), &scoped_body<Impl>, doc};
}

template <auto Impl>
constexpr Operation function(const char* name, Parameters parameters, const char* doc) {
    return {name, Kind::function, checked(parameters, arity_of<Impl>), &scoped_body<Impl>, doc};
}

// `__init__`, both the tp_init slot that `Class(...)` runs and a method, so that it has a signature and
// `super().__init__(...)` is a direct call.
template <auto Impl>
constexpr Operation init(Parameters parameters, const char* doc) {
    return {"__init__", Kind::init, checked(parameters, arity_of<Impl>), &scoped_body<Impl>, doc};
}

template <std::size_t N>
consteval std::size_t index_in(const std::array<Operation, N>& operations, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (name == operations[i].name) return i;
    }
    throw "no operation of that name is declared";
}

template <std::size_t N, std::size_t... M>
constexpr std::array<Operation, N> joined(const std::array<Operation, M>&... parts) {
    std::array<Operation, N> all{};
    std::size_t at = 0;
    ((at = std::copy(parts.begin(), parts.end(), all.begin() + at) - all.begin()), ...);
    return all;
}

// A module's operations: the methods of its one class, or its functions.
template <std::size_t N>
struct Declaration {
    const char* dotted_name;  // of the class: "kestor.tavi.extractor.causara.CausaraExtractor"; of a module's
                              // functions: the module's
    const char* doc;          // the class's, below the signature its `__init__` gives
    std::array<Operation, N> operations;
    PyModuleDef* module_def;  // finds the module of a subclass instance, which tp_init is not told

    static constexpr std::size_t size = N;

    consteval std::size_t index(std::string_view name) const { return index_in(operations, name); }

    constexpr const char* short_name() const {
        const char* name = dotted_name;
        for (const char* at = dotted_name; *at != '\0'; ++at) {
            if (*at == '.') name = at + 1;
        }
        return name;
    }
};

template <class... Parts>
constexpr auto declare(const char* dotted_name, const char* doc, PyModuleDef* module_def, const Parts&... parts) {
    constexpr std::size_t count = (std::tuple_size_v<Parts> + ...);
    return Declaration<count>{dotted_name, doc, joined<count>(parts...), module_def};
}

template <class... Ops>
constexpr std::array<Operation, sizeof...(Ops)> operations(const Ops&... ops) {
    return {ops...};
}

// Text signatures: "name($self, a, b=None)\n--\n\n" followed by the doc.
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

template <const auto& Decl, std::size_t I>
constexpr auto put_operation_doc = [](auto& out) {
    const Operation& op = Decl.operations[I];
    put_doc(out, op.name, op.kind == Kind::init || op.kind == Kind::method, op.parameters, op.doc);
};

template <const auto& Decl>
constexpr auto put_class_doc = [](auto& out) {
    const Operation& init = Decl.operations[Decl.index("__init__")];
    put_doc(out, Decl.short_name(), false, init.parameters, Decl.doc);
};

}  // namespace detail

template <const auto& Decl, std::size_t I>
inline constexpr auto operation_doc =
    detail::written<detail::measured(detail::put_operation_doc<Decl, I>)>(detail::put_operation_doc<Decl, I>);

template <const auto& Decl>
inline constexpr auto class_doc =
    detail::written<detail::measured(detail::put_class_doc<Decl>)>(detail::put_class_doc<Decl>);

// The module of a class made by PyType_FromModuleAndSpec.
inline PyObject* module_of(PyTypeObject* cls) {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) raise();
    return module;
}

// Entry points from the interpreter.
namespace detail {

template <const auto& Decl, std::size_t I>
constexpr Owner owner_of() {
    const Operation& op = Decl.operations[I];
    const bool counts_self = op.kind == Kind::init || op.kind == Kind::method;
    return {op.kind == Kind::function ? nullptr : Decl.short_name(), counts_self};
}

template <const auto& Decl, std::size_t I>
Ref run(Scope scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const Operation& op = Decl.operations[I];
    constexpr Owner owner = owner_of<Decl, I>();
    constexpr Body body = op.body;
    const Arguments bound = bind(owner, op.name, op.parameters, args, nargs, kwnames);
    return body(scope, bound.data());
}

template <const auto& Decl, std::size_t I>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    return barrier(
        [&] { return run<Decl, I>({self, module_of(defining_class)}, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// Static methods and module functions are bound to their module, so `self` is the module.
template <const auto& Decl, std::size_t I>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return barrier([&] { return run<Decl, I>({nullptr, module}, args, nargs, kwnames); });
}

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

template <const auto& Decl, std::size_t I>
PyMethodDef method_def(bool bound_to_module) {
    constexpr const Operation& op = Decl.operations[I];
    const char* doc = operation_doc<Decl, I>.data();
    constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;
    switch (op.kind) {
        case Kind::init:
            return {"__init__", as_cfunction(&method_entry<Decl, I>), METH_METHOD | fastcall | METH_COEXIST, doc};
        case Kind::method:
            return {op.name, as_cfunction(&method_entry<Decl, I>), METH_METHOD | fastcall, doc};
        case Kind::static_method:
            // In the class only a placeholder that keeps the declaration order of the class __dict__; the
            // function bound to the module replaces it.
            return {op.name, as_cfunction(&function_entry<Decl, I>),
                    bound_to_module ? fastcall : METH_STATIC | fastcall, doc};
        case Kind::function:
            break;
    }
    return {op.name, as_cfunction(&function_entry<Decl, I>), fastcall, doc};
}

template <const auto& Decl, std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(bool bound_to_module, std::index_sequence<I...>) {
    std::array<PyMethodDef, sizeof...(I) + 1> table{};
    std::size_t at = 0;
    auto add = [&](bool wanted, PyMethodDef def) {
        if (wanted) table[at++] = def;
    };
    (add(bound_to_module ? Decl.operations[I].kind == Kind::static_method || Decl.operations[I].kind == Kind::function
                         : Decl.operations[I].kind != Kind::function,
         method_def<Decl, I>(bound_to_module)),
     ...);
    return table;
}

}  // namespace detail

// The method table of the class, in declaration order. The interpreter keeps pointers into it: it lives as long
// as the process.
template <const auto& Decl>
PyMethodDef* class_methods() {
    static auto table = detail::method_table<Decl>(false, std::make_index_sequence<Decl.size>{});
    return table.data();
}

// The static methods (or a module's functions) bound to the module, so that they can read module-level names.
template <const auto& Decl>
PyMethodDef* module_functions() {
    static auto table = detail::method_table<Decl>(true, std::make_index_sequence<Decl.size>{});
    return table.data();
}

}  // namespace pyhost

// How one operation calls another.
//
// Python code calls a step through the instance (`self._dfs(...)`), so that a subclass that overrides it is
// honoured wherever it is called, or through the class itself (`CausaraExtractor._to_strength(...)`), so that one
// is not. An implementation does the same with `self.call<"_dfs">(...)` and `self.call_on<"_to_strength">(cls, ...)`:
// when the lookup would find the module's own operation, its implementation runs directly, without the interpreter's
// lookup, argument binding and call; otherwise whatever the lookup finds is called, as Python code would call it.
// Only operations a declaration lists in its `calls` can be called so, which is checked when compiling; that also
// tells what a step reaches, directly or not, so that a caller can ask whether all of it is the module's own and
// run a plain C++ equivalent instead (the force module's native road).
//
// What is cached. For each class, the set of declared operations that its attribute lookup finds as the module's own
// (the very objects the class held when the module made it), in the module's state for the last few classes seen,
// under the version tag the interpreter had given the class. For one call from the host, the instance's set: its
// class's, less the names its own __dict__ holds, asked once, when the call first needs it.
//
// When it is invalidated. Any change to a class or to one of its bases (an attribute set or deleted, __bases__
// assigned) gives the class a new version tag, or none, so a cached set is only ever found for the class as it was
// when the set was made; a class without a valid tag is asked afresh each time. A class with an attribute lookup of
// its own (__getattribute__ or __getattr__) is never cached: every step goes through the instance. A call from the
// host keeps its instance's set to the end: a step taken a million times is asked about twice, not a million times,
// and a class changed while a call runs is seen from the next call on.
//
// Why it is safe. With the generic attribute lookup, what `self.name` finds depends only on the dicts of the class's
// MRO, which the version tag covers, and the instance __dict__, which is read; what `cls.name` finds, for a class
// whose metaclass is `type` itself, only on the former. Asking the class can run host code (a descriptor's __get__)
// that changes the class, so a set is cached only when a second pass under the same version gives it again.
#pragma once

#include "pyhost/calls.hpp"
#include "pyhost/globals.hpp"
#include "pyhost/operation.hpp"
#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace pyhost {

// Sets of a class's operations, one bit each, by their place in its declaration.
using OperationSet = std::uint32_t;
inline constexpr std::size_t max_operations = 32;

// The sets of the classes seen last, in the module's state: all zero is empty.
struct OwnSets {
    struct Entry {
        PyTypeObject* type;
        unsigned int version;
        OperationSet own;
    };
    std::array<Entry, 4> entries;
    std::size_t next;
};

// What a module with a class keeps for dispatch: what each declared operation resolved to on the class when the
// module made it, their names, and the sets found since. Empty for a module of functions, which call nothing.
struct DispatchState {
    PyObject* const* originals = nullptr;
    const Name* names = nullptr;
    std::size_t count = 0;
    OwnSets* own_sets = nullptr;
};

// One call from the host: the instance (NULL for a static method or a function), its module, and which operations
// the instance finds as the module's own. The module's state is read only when a step asks.
class Dispatch {
public:
    using StateOf = DispatchState (*)(PyObject* module);

    Dispatch(PyObject* self, PyObject* module, StateOf state_of) noexcept
        : self_(self), module_(module), globals_(module), state_of_(state_of) {}
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;

    PyObject* self() const noexcept { return self_; }
    PyObject* module() const noexcept { return module_; }
    const Globals& globals() const noexcept { return globals_; }

    // Whether `self.<name>` finds the module's own for every operation in `set`.
    bool own(OperationSet set) {
        if (!resolved_) resolve();
        return (own_ & set) == set;
    }

    // Whether `owner.<name>` finds the module's own operation, for a class read through itself.
    bool own_on(PyObject* owner, std::size_t operation);

private:
    void resolve();

    PyObject* self_;
    PyObject* module_;
    Globals globals_;
    StateOf state_of_;
    bool resolved_ = false;
    OperationSet own_ = 0;
};

namespace detail {

template <const auto& Table>
consteval OperationSet called_by(std::size_t caller) {
    OperationSet set = 0;
    const Calls& calls = Table.operations[caller].calls;
    for (std::size_t i = 0; i < calls.count; ++i) set |= OperationSet{1} << Table.index(calls.names[i]);
    return set;
}

// Everything `caller` calls, directly or through other operations.
template <const auto& Table>
consteval OperationSet reached_from(std::size_t caller) {
    OperationSet reached = called_by<Table>(caller);
    for (OperationSet before = 0; before != reached;) {
        before = reached;
        for (std::size_t i = 0; i < Table.size; ++i) {
            if (reached & (OperationSet{1} << i)) reached |= called_by<Table>(i);
        }
    }
    return reached;
}

}  // namespace detail

template <class Module, FixedString Name>
class Self {
public:
    explicit Self(Dispatch& dispatch) noexcept : dispatch_(dispatch) {}

    PyObject* object() const noexcept { return dispatch_.self(); }
    PyObject* module() const noexcept { return dispatch_.module(); }
    const Globals& globals() const noexcept { return dispatch_.globals(); }

    // `self.<Callee>(args...)`.
    template <FixedString Callee, class... Args>
    Ref call(Args... args) {
        constexpr std::size_t callee = callee_index<Callee>();
        if (!own(OperationSet{1} << callee)) {
            return call_method(object(), operation_names<Module>[callee], args...);
        }
        return run<callee>(args...);
    }

    // `owner.<Callee>(args...)`, for a step called through the class itself.
    template <FixedString Callee, class... Args>
    Ref call_on(PyObject* owner, Args... args) {
        constexpr std::size_t callee = callee_index<Callee>();
        if (!dispatch_.own_on(owner, callee)) return call_method(owner, operation_names<Module>[callee], args...);
        return run<callee>(args...);
    }

    // Whether `self.<Callee>` is the module's own, for a step that runs it inline instead of calling it.
    template <FixedString Callee>
    bool is_own() {
        return own(OperationSet{1} << callee_index<Callee>());
    }

    // `self.<Callee>` as its own implementation sees it, for a caller that runs that implementation itself to share
    // work between calls; only where is_own<Callee>().
    template <FixedString Callee>
    Self<Module, Callee> callee() {
        static_assert(callee_index<Callee>() < table.size);
        return Self<Module, Callee>(dispatch_);
    }

    // Whether everything this operation calls, directly or not, is the module's own.
    bool reaches_only_own() { return own(detail::reached_from<table>(index)); }

    // Whether these operations, and everything they call, are the module's own.
    template <FixedString... Callees>
    bool all_own() {
        constexpr OperationSet set =
            ((OperationSet{1} << callee_index<Callees>() | detail::reached_from<table>(callee_index<Callees>())) | ...);
        return own(set);
    }

private:
    static constexpr const auto& table = Module::declaration;
    static constexpr std::size_t index = table.index(Name.view());
    static_assert(table.size <= max_operations);

    // What the instance finds as the module's own, for an operation that has an instance.
    bool own(OperationSet set) {
        static_assert(table.operations[index].kind == Kind::method || table.operations[index].kind == Kind::init,
                      "a static method or a function has no instance to call through");
        return dispatch_.own(set);
    }

    template <FixedString Callee>
    static consteval std::size_t callee_index() {
        constexpr std::size_t callee = table.index(Callee.view());
        static_assert((detail::called_by<table>(index) >> callee) & 1,
                      "an operation calls one that its declaration does not list");
        return callee;
    }

    template <std::size_t Callee, class... Args>
    Ref run(Args... args) {
        static_assert(sizeof...(Args) == table.operations[Callee].parameters.count);
        constexpr Implementation implementation = table.operations[Callee].implementation;
        const std::array<PyObject*, sizeof...(Args)> arguments{args...};
        return implementation(dispatch_, arguments.data());
    }

    Dispatch& dispatch_;
};

}  // namespace pyhost

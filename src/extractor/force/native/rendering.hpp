// The graph text of the native road: lines gathered as spans of one code-point arena (core/text.hpp), each value
// rendered once, and the document written out once in its final form.
#pragma once

#include "force/core/flat_map.hpp"
#include "force/core/text.hpp"
#include "force/native/snapshot.hpp"
#include "pyhost/ref.hpp"
#include "pyhost/text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace force::native {

// Appends the code points of an exact str.
inline void put_text(text::Arena& arena, PyObject* text) {
    pyhost::visit_chars(text, [&](const auto* chars, Py_ssize_t length) {
        for (Py_ssize_t i = 0; i < length; ++i) arena.put(chars[i]);
    });
}

// The rendered text of values, each distinct object converted once. Rendering an object that is not plain runs
// its own __str__, which may change anything: `host_code_ran` tells the caller to drop what it cached.
class ValueTexts {
public:
    explicit ValueTexts(text::Arena& arena) : arena_(arena) {}

    text::Span operator()(PyObject* value);
    void clear();

    bool host_code_ran = false;

private:
    text::Arena& arena_;
    IntMap cache_;
    std::vector<text::Span> spans_;
    std::vector<Ref> pinned_;
};

// The str of each plain value: an exact str is its own; any other plain value's is made once and held.
class StrsOf {
public:
    PyObject* operator()(PyObject* value) {
        if (PyUnicode_CheckExact(value)) return value;
        const auto key = reinterpret_cast<std::uintptr_t>(value);
        if (auto found = made_index_.find(key)) return made_[*found].get();
        return make(key, value);
    }

private:
    PyObject* make(std::uint64_t key, PyObject* value);

    IntMap made_index_;
    std::vector<Ref> made_;
};

// Writes the pieces of a line straight into the arena, values given as str objects. Needs no GIL: the strs are
// held by whoever gave them, and a str never changes.
struct ArenaWriter {
    text::Arena& arena;
    void put(const text::Format& format) { arena.put(format); }
    void put(PyObject* text) { put_text(arena, text); }
};

// The header and the start and end lines, naming the first start and end node.
void put_head(text::Document& document, text::Arena& arena, ValueTexts& texts, const Snapshot& snapshot);

// A long text is measured and written without the GIL; only making the str object needs it.
Ref to_str(const text::Document& document);

// Edge lines of host path edges. Paths from the search share the path edges of their common prefixes, so an edge
// is most often the very dict that stood at the same position of the previous path; and the path edges of one
// graph edge carry the same three values, so one line serves all of them.
class PathLines {
public:
    PathLines(text::Document& document, text::Arena& arena, ValueTexts& texts)
        : document_(document), arena_(arena), texts_(texts) {}

    // The line of `edge`, the path edge at `position` of its path.
    std::uint32_t operator()(PyObject* edge, std::size_t position);
    void forget();

private:
    struct Seen {
        Ref edge;
        std::uint32_t line = 0;
    };

    text::Document& document_;
    text::Arena& arena_;
    ValueTexts& texts_;
    std::vector<Seen> previous_;
    FlatMap<std::array<std::uint64_t, 3>> by_values_;
};

}  // namespace force::native

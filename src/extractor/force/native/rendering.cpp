#include "force/native/rendering.hpp"

#include "force/graph_data.hpp"
#include "force/values.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/text.hpp"

#include <optional>
#include <span>

namespace force::native {
namespace {

using pyhost::WithoutGil;

text::Span edge_line(text::Arena& arena, text::Span source, text::Span target, const text::Span* strength) {
    const std::size_t start = arena.open();
    text::put_edge_line(arena, source, target, strength);
    return arena.close(start);
}

std::uint64_t identity(PyObject* object) { return reinterpret_cast<std::uintptr_t>(object); }

}  // namespace

text::Span ValueTexts::operator()(PyObject* value) {
    const std::uint64_t key = identity(value);
    if (auto cached = cache_.find(key)) return spans_[*cached];
    const bool plain = renders_plainly(value);
    Ref rendered = value_text(value);
    const std::size_t start = arena_.open();
    put_text(arena_, rendered.get());
    const text::Span span = arena_.close(start);
    if (!plain) {
        host_code_ran = true;
        return span;
    }
    cache_.emplace(key, static_cast<std::uint32_t>(spans_.size()));
    spans_.push_back(span);
    pinned_.push_back(Ref::borrow(value));
    return span;
}

void ValueTexts::clear() {
    cache_.clear();
    spans_.clear();
    pinned_.clear();
    host_code_ran = false;
}

PyObject* StrsOf::make(std::uint64_t key, PyObject* value) {
    made_index_.emplace(key, static_cast<std::uint32_t>(made_.size()));
    made_.push_back(value_text(value));
    return made_.back().get();
}

void put_head(text::Document& document, text::Arena& arena, ValueTexts& texts, const Snapshot& snapshot) {
    document.add_line(arena.add(text::header));
    auto named = [&](const text::Format& label, std::span<const NodeIndex> nodes) {
        if (nodes.empty()) return;
        const text::Span name = texts(snapshot.name_of(nodes.front()));
        const std::size_t start = arena.open();
        text::put_labelled(arena, label, name);
        document.add_line(arena.close(start));
    };
    named(text::start_label, snapshot.graph->start_nodes());
    named(text::end_label, snapshot.graph->end_nodes());
}

Ref to_str(const text::Document& document) {
    const bool long_text = document.line_count() > large_graph;
    std::size_t length;
    char32_t max_char;
    {
        WithoutGil free;
        if (long_text) free.release();
        length = document.length();
        max_char = document.max_char();
    }
    return pyhost::new_str(static_cast<Py_ssize_t>(length), max_char, [&](auto* out) {
        WithoutGil free;
        if (long_text) free.release();
        document.write(out);
    });
}

std::uint32_t PathLines::operator()(PyObject* edge, std::size_t position) {
    if (position < previous_.size() && previous_[position].edge.get() == edge) return previous_[position].line;
    if (!PyDict_CheckExact(edge)) pyhost::expect_exact(edge, &PyDict_Type, "edge");
    const bool plain = plain_keys(edge);
    Ref held_source = lookup(edge, keys::source);
    Ref held_target = lookup(edge, keys::target);
    Ref held_strength = lookup(edge, keys::strength);
    if (!held_source) held_source = Ref::borrow(pyhost::empty_text.get());
    if (!held_target) held_target = Ref::borrow(pyhost::empty_text.get());
    if (!held_strength) held_strength = Ref::borrow(Py_None);
    const std::array<std::uint64_t, 3> values = {identity(held_source.get()), identity(held_target.get()),
                                                 identity(held_strength.get())};
    std::uint32_t line;
    if (auto cached = by_values_.find(values)) {
        line = *cached;
    } else {
        const text::Span source_text = texts_(held_source.get());
        const text::Span target_text = texts_(held_target.get());
        std::optional<text::Span> strength_text;
        if (held_strength.get() != Py_None) strength_text = texts_(held_strength.get());
        line = static_cast<std::uint32_t>(document_.line_table().size());
        document_.line_table().push_back(
            edge_line(arena_, source_text, target_text, strength_text ? &*strength_text : nullptr));
        // Only values that rendered without host code are pinned by `texts_`, and only those may key a line.
        if (!texts_.host_code_ran && plain) by_values_.emplace(values, line);
    }
    if (texts_.host_code_ran || !plain) {
        // Host code may have changed any path edge: read every edge afresh from here on.
        forget();
        return line;
    }
    if (position >= previous_.size()) previous_.resize(position + 1);
    previous_[position] = {Ref::borrow(edge), line};
    return line;
}

void PathLines::forget() {
    previous_.clear();
    by_values_.clear();
    texts_.clear();
}

}  // namespace force::native

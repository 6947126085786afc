// The graph text on host objects: the road for graph data the native road does not represent, and wherever a
// subclass overrides a step.
#include "force/core/text.hpp"
#include "force/graph_data.hpp"
#include "force/native.hpp"
#include "force/operations.hpp"
#include "force/prepared_graph.hpp"
#include "force/values.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "pyhost/long_work.hpp"
#include "pyhost/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace force {
namespace {

using pyhost::expect_exact;
using pyhost::mapping_get;
using pyhost::own;

// A str made in one allocation from a few pieces: the formats' texts, value texts (exact str, held by the line
// until take(), so that a text made for the line may be a temporary) and at most one decimal number.
class Line {
public:
    void put(const text::Format& format) {
        pieces_[count_++] = {format.text, Ref()};
        length_ += static_cast<Py_ssize_t>(format.text.size());
        max_char_ = format.widest > max_char_ ? format.widest : max_char_;
    }
    void put(PyObject* text) {
        pieces_[count_++] = {{}, Ref::borrow(text)};
        length_ += PyUnicode_GET_LENGTH(text);
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(text);
        max_char_ = widest > max_char_ ? widest : max_char_;
    }
    void put(const Ref& text) { put(text.get()); }
    void put_decimal(std::size_t n);
    Ref take();

private:
    struct Piece {
        std::u32string_view format;
        Ref text;
    };
    std::array<Piece, 8> pieces_;
    std::size_t count_ = 0;
    char32_t digits_[24];
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
};

void Line::put_decimal(std::size_t n) {
    const char32_t* end = text::write_decimal(digits_, n);
    pieces_[count_++] = {std::u32string_view(digits_, static_cast<std::size_t>(end - digits_)), Ref()};
    length_ += end - digits_;
    max_char_ = std::max<Py_UCS4>(max_char_, U'9');
}

Ref Line::take() {
    Ref line = pyhost::new_str(length_, max_char_, [&](auto* out) {
        for (std::size_t i = 0; i < count_; ++i) {
            const Piece& piece = pieces_[i];
            if (!piece.text) {
                out = std::copy(piece.format.begin(), piece.format.end(), out);
            } else {
                out = pyhost::visit_chars(piece.text.get(), [&](const auto* chars, Py_ssize_t count) {
                    return std::copy_n(chars, count, out);
                });
            }
        }
    });
    for (std::size_t i = 0; i < count_; ++i) pieces_[i].text = Ref();
    count_ = 0;
    length_ = 0;
    max_char_ = 0;
    return line;
}

Ref text_of(const text::Format& format) {
    Line line;
    line.put(format);
    return line.take();
}

// The formats' own lines, made on first use and kept for the life of the process.
PyObject* header_text() {
    static PyObject* text = text_of(text::header).release();
    return text;
}

PyObject* line_break_text() {
    static constexpr text::Format line_break{std::u32string_view(&text::line_break, 1)};
    static PyObject* text = text_of(line_break).release();
    return text;
}

}  // namespace

Ref format_graph_data(Self<"_format_graph_data"> self, PyObject* graph_data, PyObject* paths) {
    expect_exact(graph_data, &PyDict_Type, "graph_data");
    expect_exact(paths, &PyList_Type, "paths");
    return format_graph_data_in(self, PreparedGraph(graph_data, self.reaches_only_own()), paths);
}

Ref format_graph_data_in(Self<"_format_graph_data"> self, const PreparedGraph& prepared, PyObject* paths) {
    if (const native::Snapshot* snapshot = prepared.snapshot()) return native::format_graph_data(*snapshot, paths);
    PyObject* graph_data = prepared.data();
    Ref lines = pyhost::new_list();
    pyhost::list_append(lines.get(), header_text());
    Ref no_nodes = pyhost::new_list();
    Ref nodes = mapping_get(graph_data, keys::nodes, no_nodes.get());
    Ref node_map = self.call<"_build_node_map">(nodes.get());
    Ref graph = self.call<"_build_graph">(graph_data);
    auto [unused_map, unused_outgoing, unused_incoming, start_nodes, end_nodes] = pyhost::unpack<5>(graph.get());
    self.call<"_append_start_end">(lines.get(), start_nodes.get(), end_nodes.get(), node_map.get());
    self.call<"_append_paths">(lines.get(), paths);
    return own(PyUnicode_Join(line_break_text(), lines.get()));
}

Ref append_start_end(Self<"_append_start_end">, PyObject* lines, PyObject* start_nodes, PyObject* end_nodes,
                     PyObject* node_map) {
    expect_exact(lines, &PyList_Type, "lines");
    expect_exact(start_nodes, &PyList_Type, "start_nodes");
    expect_exact(end_nodes, &PyList_Type, "end_nodes");
    expect_exact(node_map, &PyDict_Type, "node_map");
    auto append_named = [&](PyObject* nodes, const text::Format& label) {
        if (PyList_GET_SIZE(nodes) == 0) return;
        Ref first = Ref::borrow(PyList_GET_ITEM(nodes, 0));
        Ref name = mapping_get(node_map, first.get(), pyhost::empty_text.get());
        Line line;
        text::put_labelled(line, label, value_text(name.get()));
        pyhost::list_append(lines, line.take().get());
    };
    append_named(start_nodes, text::start_label);
    append_named(end_nodes, text::end_label);
    return Ref::borrow(Py_None);
}

Ref append_paths(Self<"_append_paths"> self, PyObject* lines, PyObject* paths) {
    expect_exact(lines, &PyList_Type, "lines");
    expect_exact(paths, &PyList_Type, "paths");
    if (PyList_GET_SIZE(paths) == 0) return Ref::borrow(Py_None);
    pyhost::list_append(lines, pyhost::empty_text.get());
    std::size_t number = 0;
    Line header;
    pyhost::Turns turns;
    pyhost::for_each(paths, [&](PyObject* path) {
        text::put_path_header(header, ++number);
        pyhost::list_append(lines, header.take().get());
        pyhost::for_each(path, [&](PyObject* edge) {
            turns.step();
            pyhost::list_append(lines, self.call<"_format_edge_line">(edge).get());
        });
    });
    return Ref::borrow(Py_None);
}

Ref format_edge_line(Self<"_format_edge_line">, PyObject* edge) {
    expect_exact(edge, &PyDict_Type, "edge");
    Ref source = mapping_get(edge, keys::source, pyhost::empty_text.get());
    Ref target = mapping_get(edge, keys::target, pyhost::empty_text.get());
    Ref strength = mapping_get(edge, keys::strength);
    Ref source_text = value_text(source.get());
    Ref target_text = value_text(target.get());
    Ref strength_text;
    if (strength.get() != Py_None) strength_text = value_text(strength.get());
    Line line;
    text::put_edge_line(line, source_text, target_text, strength_text ? &strength_text : nullptr);
    return line.take();
}

}  // namespace force

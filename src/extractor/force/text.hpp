// What the graph text's two roads share on host objects: the text of a value, and a line made of the formats'
// texts and value texts.
#pragma once

#include "force/core/text.hpp"
#include "pyhost/ref.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace force {

using pyhost::Ref;

// `str(value)`. The shortest repr of a double is costly next to everything else an edge line needs, and the same
// few strengths recur across a graph: the texts of recent floats are remembered.
Ref value_text(PyObject* value);

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

}  // namespace force

// What the graph text's two roads share on host objects: the text of a value, and a line made of the formats'
// texts and value texts.
#pragma once

#include "pyhost/ref.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace force {

using pyhost::Ref;

// `str(value)`. The shortest repr of a double is costly next to everything else an edge line needs, and the same
// few strengths recur across a graph: the texts of recent floats are remembered.
Ref value_text(PyObject* value);

// A str made of pieces: the formats' texts, value texts (exact str) and decimal numbers.
class Line {
public:
    void put(std::u32string_view text);
    void put(PyObject* text);
    void put(const Ref& text) { put(text.get()); }
    void put_decimal(std::size_t n);
    Ref take();

private:
    std::u32string chars_;
    Py_UCS4 max_char_ = 0;
};

}  // namespace force

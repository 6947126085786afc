// The text of a value as the graph text writes it, on both roads.
#pragma once

#include "pyhost/ref.hpp"

namespace force {

// `str(value)`. The shortest repr of a double is costly next to everything else an edge line needs, and the same
// few strengths recur across a graph: the texts of recent floats are remembered.
pyhost::Ref value_text(PyObject* value);

}  // namespace force

// The native road: plain graph data (exact dicts and lists, integer-valued ids) read once into the plain C++
// graph, searched and rendered there. Every function returns nothing when the data is not plain, and the caller
// then takes the road through host objects, which gives the same result and raises the errors the data calls for.
#pragma once

#include "pyhost/ref.hpp"

#include <cstddef>
#include <memory>
#include <optional>

namespace force::native {

using pyhost::Ref;

// `_find_paths(graph_data)` for graph data with edges.
std::optional<Ref> find_paths(PyObject* graph_data);

// `_format_graph_data(graph_data, paths)`.
std::optional<Ref> format_graph_data(PyObject* graph_data, PyObject* paths);

// The two halves of `predict`'s search and rendering, without a host object per path edge: `find` finds the
// paths of plain graph data whose names and strengths all render without host code, `render` writes their text.
class Search {
public:
    static std::unique_ptr<Search> find(PyObject* graph_data);
    ~Search();
    std::size_t path_count() const noexcept;
    Ref render();

private:
    struct Parts;
    explicit Search(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

}  // namespace force::native

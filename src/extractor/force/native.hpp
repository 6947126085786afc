// The native road: the path search and the graph text on the snapshot (native/snapshot.hpp), giving what the road
// through host objects gives for the same graph data.
#pragma once

#include "force/native/snapshot.hpp"
#include "pyhost/ref.hpp"

#include <cstddef>
#include <memory>

namespace force::native {

using pyhost::Ref;

// `_find_paths` of the graph data.
Ref find_paths(const Snapshot& snapshot);

// `_format_graph_data` of the graph data and a path list.
Ref format_graph_data(const Snapshot& snapshot, PyObject* paths);

// predict's search and rendering in one, without a host object per path edge: for a snapshot whose names and
// strengths all render without host code (`plain_text`). The snapshot must outlive the search.
class Search {
public:
    explicit Search(const Snapshot& snapshot);
    ~Search();
    std::size_t path_count() const noexcept;
    Ref render();

private:
    struct Parts;
    const Snapshot& snapshot_;
    std::unique_ptr<Parts> parts_;
};

}  // namespace force::native

// The graph data of one call as the path search and the graph text read it, the road chosen once: graph data that
// the native road represents, where nothing the steps reach is overridden, is read once into a snapshot, which
// predict's search and rendering then share; anything else each step reads through host objects, as Python code
// would.
#pragma once

#include "force/native/snapshot.hpp"

#include <optional>

namespace force {

class PreparedGraph {
public:
    // `native_allowed`: whether the steps that will read the graph are all the module's own.
    PreparedGraph(PyObject* graph_data, bool native_allowed) : data_(graph_data) {
        if (native_allowed) snapshot_ = native::take_snapshot(graph_data);
    }
    PreparedGraph(const PreparedGraph&) = delete;
    PreparedGraph& operator=(const PreparedGraph&) = delete;

    PyObject* data() const noexcept { return data_; }
    // The snapshot on the native road; null on the road through host objects.
    const native::Snapshot* snapshot() const noexcept { return snapshot_ ? &*snapshot_ : nullptr; }

private:
    PyObject* data_;
    std::optional<native::Snapshot> snapshot_;
};

}  // namespace force

// The keys of graph data and path edges, shared by the native road and the road through host objects.
#pragma once

#include "pyhost/ref.hpp"

namespace force::keys {

using pyhost::Name;

inline constinit Name nodes{"nodes"};
inline constinit Name edges{"edges"};
inline constinit Name id{"id"};
inline constinit Name name{"name"};
inline constinit Name src_node{"src_node"};
inline constinit Name dest_node{"dest_node"};
inline constinit Name meta{"meta"};
inline constinit Name strength{"strength"};
inline constinit Name source{"source"};
inline constinit Name target{"target"};
inline constinit Name empty_text{""};

}  // namespace force::keys

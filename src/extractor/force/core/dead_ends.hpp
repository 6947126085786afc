// What a depth-first walk of simple paths learns about dead ends as it goes, so that no later step walks into one
// again. Without it the walk reads such a region once for every way into it, and many ways in make it quadratic:
// a graph whose edges were cut short while it was built has a start node at every cut, each leading into the same
// long chain without an end node.
//
// A node is dead once the walk leaves it having recorded no path below it and without meeting, below it, a node
// entered before it: the walk from it was bound by nothing outside what it walked. Walking from it again could
// only take steps it took then, so it would find no path and fail nowhere. The nodes below it that met one of its
// ancestors are undecided when the walk leaves them; they are dead with it when every step not taken below it
// could have been taken without fail (the steps of the module's own path edge on plain data): everything reachable
// from them was then walked, under no constraint that matters, and holds no end node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace force {

// `Key` names what the walk follows from a node: a node index, or the host's list of a node's edges. The walk keeps
// a Mark with each node of its current path; the node it starts from is at level 1, each step down one more.
template <class Key>
class DeadEnds {
public:
    using Level = std::uint32_t;
    // The level of a node this walk did not enter, or cannot place.
    static constexpr Level outside = 0;

    struct Mark {
        bool found;
        bool unsafe_below;  // a step not taken below could have failed
        Level lowest;       // the lowest level met below
        std::size_t pending_from;
    };

    // For a node the walk enters and is going to follow the edges of.
    Mark enter() const noexcept { return {false, false, no_level, pending_.size()}; }

    // A step from the node was not taken because it led to a node on the current path, entered at `level`;
    // `failsafe` when taking it could not have failed.
    static void met(Mark& mark, Level level, bool failsafe) noexcept {
        mark.lowest = std::min(mark.lowest, level);
        mark.unsafe_below = mark.unsafe_below || !failsafe;
    }

    // The walk leaves the node `key` at `level`; `parent` is the mark of the node it was entered from (none for the
    // node the walk started from). `dead(key)` is called for each node this decides is dead.
    template <class Dead>
    void leave(Key key, const Mark& mark, Level level, Mark* parent, Dead&& dead) {
        if (mark.found) {
            forget_pending(mark.pending_from);
        } else if (mark.lowest >= level) {
            dead(key);
            if (!mark.unsafe_below) {
                for (std::size_t i = mark.pending_from; i < pending_.size(); ++i) dead(pending_[i]);
            }
            forget_pending(mark.pending_from);
        } else {
            pending_.push_back(std::move(key));
        }
        if (parent == nullptr) {
            pending_.clear();
            return;
        }
        parent->found = parent->found || mark.found;
        parent->unsafe_below = parent->unsafe_below || mark.unsafe_below;
        if (mark.lowest < level) parent->lowest = std::min(parent->lowest, mark.lowest);
    }

private:
    static constexpr Level no_level = std::numeric_limits<Level>::max();

    void forget_pending(std::size_t from) {
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(from), pending_.end());
    }

    std::vector<Key> pending_;  // nodes left undecided, to be decided with an ancestor
};

}  // namespace force

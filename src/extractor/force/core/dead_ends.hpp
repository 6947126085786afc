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

// `Key` names what the walk follows from a node: a node index, or the host's list of a node's edges.
template <class Key>
class DeadEnds {
public:
    // 1 for the node a walk starts from, one more at each step down; 0 for a node this walk did not enter.
    using Level = std::uint32_t;
    static constexpr Level outside = 0;

    // The walk enters a node it is going to follow the edges of; its level is level() from now on.
    void enter(Key key) { frames_.push_back({std::move(key), false, false, no_level, pending_.size()}); }
    Level level() const noexcept { return static_cast<Level>(frames_.size()); }

    // A path was recorded at a step from the node entered last.
    void found_path() noexcept {
        if (!frames_.empty()) frames_.back().found = true;
    }

    // A step from the node entered last was not taken because it led to a node on the current path, entered at
    // `level` (`outside` for one this walk did not enter, or cannot place); `failsafe` when taking it could not
    // have failed.
    void met(Level level, bool failsafe) noexcept {
        Frame& frame = frames_.back();
        frame.lowest = std::min(frame.lowest, level);
        frame.unsafe_below = frame.unsafe_below || !failsafe;
    }

    // The walk leaves the node entered last; `dead(key)` is called for each node this decides is dead.
    template <class Dead>
    void leave(Dead&& dead) {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        const Level own_level = level() + 1;
        if (frame.found) {
            forget_pending(frame.pending_from);
        } else if (frame.lowest >= own_level) {
            dead(frame.key);
            if (!frame.unsafe_below) {
                for (std::size_t i = frame.pending_from; i < pending_.size(); ++i) dead(pending_[i]);
            }
            forget_pending(frame.pending_from);
        } else {
            pending_.push_back(std::move(frame.key));
        }
        if (frames_.empty()) {
            pending_.clear();
            return;
        }
        Frame& parent = frames_.back();
        parent.found = parent.found || frame.found;
        parent.unsafe_below = parent.unsafe_below || frame.unsafe_below;
        if (frame.lowest < own_level) parent.lowest = std::min(parent.lowest, frame.lowest);
    }

private:
    static constexpr Level no_level = std::numeric_limits<Level>::max();

    struct Frame {
        Key key;
        bool found;
        bool unsafe_below;  // a step not taken below could have failed
        Level lowest;       // the lowest level met below this node
        std::size_t pending_from;
    };

    void forget_pending(std::size_t from) {
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(from), pending_.end());
    }

    std::vector<Frame> frames_;
    std::vector<Key> pending_;  // nodes left undecided, to be decided with an ancestor
};

}  // namespace force

// Long work in C++ as other threads and Ctrl-C see it: the GIL handed over at intervals, signals answered, and
// the cyclic collector kept off a result while this thread alone builds it.
#pragma once

#include "pyhost/errors.hpp"
#include "pyhost/ref.hpp"

#include <chrono>
#include <cstddef>
#include <vector>

namespace pyhost {

using LongWorkClock = std::chrono::steady_clock;

// Pauses the cyclic collector while this thread makes the objects of a result and runs no host code: a collection
// there would scan the half-built result, and the rest of the heap, again and again. The collector belongs to the
// whole process, so it is let go before other threads run (`let_go`) and paused again after (`pause`); whatever
// state it was found in comes back on every way out.
class CollectorPause {
public:
    CollectorPause() noexcept { pause(); }
    ~CollectorPause() { let_go(); }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    void pause() noexcept { paused_ = PyGC_Disable() != 0; }
    void let_go() noexcept {
        if (paused_) PyGC_Enable();
        paused_ = false;
    }

private:
    bool paused_ = false;
};

// The steps of long work that holds the GIL. Every so many steps the clock is read; once the interpreter's switch
// interval has passed since the last turn, signals are checked (a KeyboardInterrupt raised by a handler leaves as
// ErrorAlreadySet) and threads waiting for the GIL get it, as they would between two bytecodes of Python code.
// Across a turn other threads may change any host object: the work holds on to everything it read, and what it
// remembers of mutable host objects it reads again when `step` says a turn was taken.
class Turns {
public:
    explicit Turns(CollectorPause* pause = nullptr, std::size_t check_every = 256) noexcept
        : pause_(pause), check_every_(check_every) {}

    // Whether other threads may have run.
    bool step() {
        if (++steps_ < check_every_ || !due()) return false;
        take_turn();
        return true;
    }

    // The same, for work that must not fail, such as letting go of what long work held: signals wait.
    void step_quietly() noexcept {
        if (++steps_ >= check_every_ && due()) hand_over();
    }

private:
    bool due() noexcept;
    void take_turn();
    void hand_over() noexcept;

    CollectorPause* pause_;
    std::size_t check_every_;
    std::size_t steps_ = 0;
    LongWorkClock::time_point last_turn_{};
    LongWorkClock::duration interval_{};
};

// Lets go of many objects as long work would, with turns between: the last reference to a large result's parts
// is dropped in one stretch otherwise.
void drop_all_in_turns(std::vector<Ref>& objects) noexcept;
inline void drop_all(std::vector<Ref>& objects) noexcept {
    if (objects.size() < 4096) {
        objects.clear();
    } else {
        drop_all_in_turns(objects);
    }
}

// Work on plain C++ data, which needs no GIL: once it has run long enough to be worth it, `poll` gives the GIL up
// until the work ends, and from then on takes it back only now and then to look for Ctrl-C (in the main thread,
// the only one that receives signals). Small work never gives it up. Nothing touches host objects in between.
class WithoutGil {
public:
    WithoutGil() noexcept : started_(LongWorkClock::now()) {}
    ~WithoutGil() { take_back(); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    // Gives the GIL up now.
    void release();
    // Call every few thousand steps.
    void poll();
    // Takes the GIL back for what follows.
    void take_back() noexcept {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }

private:
    LongWorkClock::time_point started_;
    LongWorkClock::time_point last_check_{};
    PyThreadState* state_ = nullptr;
    bool main_thread_ = false;
};

}  // namespace pyhost

#include "pyhost/long_work.hpp"

#include "pyhost/ref.hpp"

#include <thread>

namespace pyhost {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Work shorter than this keeps the GIL: giving it up costs more than it lets others do.
constexpr auto worth_releasing = milliseconds(1);
// Long enough for a woken thread to take the GIL.
constexpr auto hand_over_pause = std::chrono::microseconds(20);
// How often work without the GIL takes it back to look for Ctrl-C.
constexpr auto signal_check_interval = milliseconds(50);

// sys.getswitchinterval(), read when long work first needs it: a process may change it at any time. Work going on
// while an error is on its way out keeps the error and the default.
LongWorkClock::duration switch_interval() noexcept {
    double seconds = 0.005;
    if (PyErr_Occurred() == nullptr) {
        PyObject* get = PySys_GetObject("getswitchinterval");
        if (get != nullptr) {
            if (PyObject* value = PyObject_CallNoArgs(get)) {
                seconds = PyFloat_AsDouble(value);
                Py_DECREF(value);
            }
        }
        if (PyErr_Occurred() != nullptr || !(seconds > 0)) {
            PyErr_Clear();
            seconds = 0.005;
        }
    }
    return duration_cast<LongWorkClock::duration>(std::chrono::duration<double>(seconds));
}

bool in_main_thread() {
    Ref threading = own(PyImport_ImportModule("threading"));
    Ref main = own(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    Ref ident = own(PyObject_GetAttrString(main.get(), "ident"));
    return PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
}

}  // namespace

bool Turns::due() noexcept {
    steps_ = 0;
    const auto now = LongWorkClock::now();
    if (interval_ == LongWorkClock::duration::zero()) {
        interval_ = switch_interval();
        last_turn_ = now;
        return false;
    }
    return now - last_turn_ >= interval_;
}

void Turns::take_turn() {
    // Signal handlers are host code: they find the collector as the caller left it. One that raises ends the
    // work with the collector let go.
    if (pause_ != nullptr) pause_->let_go();
    check(PyErr_CheckSignals());
    hand_over();
}

void Turns::hand_over() noexcept {
    if (pause_ != nullptr) pause_->let_go();
    // A waiting thread is woken when the GIL is given up, but taking it straight back would win the race and
    // send that thread back to waiting a whole switch interval: the pause lets it in, and taking the GIL back
    // then waits until that thread has had its turn. Nobody waiting, the pause costs about 1% of the interval.
    PyThreadState* state = PyEval_SaveThread();
    std::this_thread::sleep_for(hand_over_pause);
    PyEval_RestoreThread(state);
    if (pause_ != nullptr) pause_->pause();
    last_turn_ = LongWorkClock::now();
}

void drop_all_in_turns(std::vector<Ref>& objects) noexcept {
    Turns turns;
    for (Ref& object : objects) {
        Py_XDECREF(object.release());
        turns.step_quietly();
    }
    objects.clear();
}

void WithoutGil::release() {
    if (state_ != nullptr) return;
    main_thread_ = in_main_thread();
    last_check_ = LongWorkClock::now();
    state_ = PyEval_SaveThread();
}

void WithoutGil::poll() {
    const auto now = LongWorkClock::now();
    if (state_ == nullptr) {
        if (now - started_ >= worth_releasing) release();
        return;
    }
    if (!main_thread_ || now - last_check_ < signal_check_interval) return;
    last_check_ = now;
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    pyhost::check(PyErr_CheckSignals());
    state_ = PyEval_SaveThread();
}

}  // namespace pyhost

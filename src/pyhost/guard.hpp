// The guarded service call: ordinary errors are logged through the module logger and become the caller's
// default result; interrupts and exit requests pass through unlogged.
#pragma once

#include "pyhost/globals.hpp"
#include "pyhost/ref.hpp"

#include <optional>
#include <type_traits>

namespace pyhost {

// The module-level name of every extractor module's logger.
inline constinit Name logger_name{"logger"};

// With a Python error set: if it derives from Exception, logs it as `logger.exception(message, error)` with the
// error as the handled exception (so the record carries its traceback) and clears it, returning true. Anything
// else (KeyboardInterrupt, SystemExit, GeneratorExit) is left set and false is returned. An error raised by the
// logging itself propagates, chained to the one being logged.
bool log_ordinary_error(const Globals& globals, const Name& message);

// Runs `body`; its value, or nothing when an ordinary error was caught and logged. A C++ exception counts as an
// ordinary error: it is logged as the Python error it translates to.
template <class Body>
auto guarded(const Globals& globals, const Name& message, Body&& body) -> std::optional<std::invoke_result_t<Body&>> {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
    }
    if (!log_ordinary_error(globals, message)) raise();
    return std::nullopt;
}

}  // namespace pyhost

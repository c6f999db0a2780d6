// Starting a program in the background, detached from the caller: its own session, standard
// streams on /dev/null, working directory "/", default signal handling, and no descriptor of the
// caller's but the three standard ones. The caller never has to reap it.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// Effects: starts `program` (no arguments) detached and waits until it has been executed or has
// failed to be. The intermediate process is reaped here; the program itself is adopted by the
// system's init (or the nearest subreaper), so it is never left as a zombie of the caller.
// Returns: nothing once the program runs; otherwise why it could not start (the system's text for
// the error, e.g. "No such file or directory" or "Permission denied").
// Any thread; blocks for the time the program's start takes.
std::optional<std::string> startDetached(const std::filesystem::path& program);

// Effects: startDetached on a thread of its own, then `completion` with its result, once, on that
// thread. Any thread; returns at once.
void startDetachedInBackground(std::filesystem::path program,
                               std::function<void(std::optional<std::string> error)> completion);

}  // namespace platform

// One running program per user session, and the requests later starts hand
// it: a later start does not run a second program but asks the running one
// (to show that it runs, to snap, to keep a note) and gets one line back.
// Only the user's own programs in the same session reach it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// The largest body a request may carry.
inline constexpr size_t kMaxInstanceRequestBody = 64u << 20;

// Serves one request: a command (one line) and a body of any bytes, often
// empty. What it returns is the asker's answer: one line (line ends become
// spaces; an empty answer is sent as "ok"). It runs on the GUI thread while
// a message loop runs there.
using TInstanceRequestHandler = std::function<std::string(const std::string& command, const std::string& body)>;

// Makes this process the session's instance called `name` for as long as it
// runs; `onRequest` serves what later starts ask. False when another process
// of the session holds the name already (a second claim in one process is
// refused too).
bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest);

// Hands `command` and `body` to the session's instance called `name` and
// waits up to `waitMs` for its answer (an instance that is still starting is
// waited for as long). Nothing when none runs, none answered in time, or the
// one found belongs to another user.
std::optional<std::string> AskInstance(const std::string& name, const std::string& command,
                                       const std::string& body = {}, int waitMs = 5000);

}  // namespace platform

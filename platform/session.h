// The user's desktop session: whether it has a display, and one running
// instance of the program per session that later starts can talk to.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// The largest body a request may carry.
inline constexpr size_t kMaxInstanceRequestBody = 64u << 20;

// Makes this process the session's instance called `name`; false when another
// process already is. Each request another process sends (a command of one
// line, and a body of any bytes, often empty) is handed to `onRequest` on the
// GUI thread while the message loop runs; what it returns (one line) is the
// answer the sender gets.
using TInstanceRequestHandler = std::function<std::string(const std::string& command, const std::string& body)>;
bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest);
// Hands `command` and `body` to the session's running instance and waits up to
// `waitMs` for its answer; nullopt when none runs, or none answered in time.
std::optional<std::string> AskInstance(const std::string& name, const std::string& command,
                                       const std::string& body = {}, int waitMs = 5000);

}  // namespace platform

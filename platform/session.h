// The user's desktop session: whether it has a display, and one running
// instance of the program per session that later starts can talk to.
#pragma once

#include <functional>
#include <string>

namespace platform {

// True when windows can be shown (a display is there and the toolkit started).
bool DesktopAvailable();

// Makes this process the session's instance called `name`; false when another
// process already is. Each request another process sends (one line of text)
// is handed to `onRequest` on the GUI thread while the message loop runs.
bool ClaimInstance(const std::string& name, std::function<void(const std::string& request)> onRequest);
// Hands `request` to the session's running instance; false when none answers.
bool SendToInstance(const std::string& name, const std::string& request);

}  // namespace platform

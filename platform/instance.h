// One running program per user session: a name claimed in the session's
// namespace, and the window a later start finds the running program by.
#pragma once

#include <string>

#include "platform/window.h"

namespace platform {

// Claims `name` for this process until it ends. False when another process of
// the same session holds it already.
bool ClaimSessionName(const std::string& name);

// Marks `window` as the running program's; FindMarkedWindow gives the marked
// top-level window of the session, 0 when there is none (yet).
void MarkWindow(WindowHandle window, const std::string& name);
WindowHandle FindMarkedWindow(const std::string& name);

}  // namespace platform

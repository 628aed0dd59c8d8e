// The window that has the keyboard focus: its title and the name of the
// program it belongs to, as a snap notes where its text came from. Asked
// before the copy keystroke, so it is the window the user snapped from.
#pragma once

#include <string>

namespace platform {

struct ForegroundWindow {
  std::string title;    // UTF-8; empty when the window has none (or none has the focus)
  std::string program;  // the executable's file name (no folder), UTF-8; empty when unknown
};

ForegroundWindow ForegroundWindowInfo();

}  // namespace platform

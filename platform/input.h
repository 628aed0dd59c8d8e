// Global hotkeys, synthesised keystrokes and the pointer.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace platform {

// Modifier flags of a hotkey: 1 Alt, 2 Ctrl, 4 Shift.
// True when registered; then wm::HotKey with wParam `id` reaches `window`
// whenever the combination is pressed anywhere.
bool RegisterGlobalHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey);
bool UnregisterGlobalHotKey(WindowHandle window, int id);

// One synthesised key event, as if typed (flags: 2 = key up).
void SendKeyEvent(uint8_t virtualKey, uint8_t scanCode, uint32_t flags, std::uintptr_t extraInfo);
// Key code translation; mapType 0 gives the scan code of a virtual key.
unsigned MapKeyCode(unsigned code, unsigned mapType);

Point CursorPos();           // screen coordinates
uint32_t DoubleClickTime();  // milliseconds

}  // namespace platform

#include <windows.h>

#include "platform/input.h"

namespace platform {

bool RegisterGlobalHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey) {
  return ::RegisterHotKey(reinterpret_cast<HWND>(window), id, modifiers, virtualKey) != 0;
}

bool UnregisterGlobalHotKey(WindowHandle window, int id) {
  return ::UnregisterHotKey(reinterpret_cast<HWND>(window), id) != 0;
}

void SendKeyEvent(uint8_t virtualKey, uint8_t scanCode, uint32_t flags, std::uintptr_t extraInfo) {
  ::keybd_event(virtualKey, scanCode, flags, static_cast<ULONG_PTR>(extraInfo));
}

unsigned MapKeyCode(unsigned code, unsigned mapType) { return ::MapVirtualKeyA(code, mapType); }

Point CursorPos() {
  POINT p{};
  ::GetCursorPos(&p);
  return {p.x, p.y};
}

uint32_t DoubleClickTime() { return ::GetDoubleClickTime(); }

}  // namespace platform

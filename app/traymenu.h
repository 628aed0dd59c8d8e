// The outbox's entries of the tray menu, made anew each time the menu opens:
// "Send waiting notes (N)" while notes wait, and "Recent snaps" with the last
// snaps (a click puts a note's text back on the clipboard) and every refused
// note (copy it, or discard it).
#pragma once

#include <cstddef>

#include "app/outbox.h"
#include "ui/menus.h"

namespace ts {

inline constexpr size_t kRecentShown = 10;

void RefreshOutboxMenu(TMenuItem& send, TMenuItem& recent, TOutbox& outbox);

}  // namespace ts

// The outbox's entries of the tray menu, made anew each time the menu opens:
// "Send waiting notes (N)" while notes wait, and "Recent snaps" with the last
// snaps (a click puts a note's text back on the clipboard) and every refused
// note (copy it, or discard it). Also the entries of pairing the device.
#pragma once

#include <cstddef>

#include "app/outbox.h"
#include "ui/menus.h"

namespace ts {

inline constexpr size_t kRecentShown = 10;

void RefreshOutboxMenu(TMenuItem& send, TMenuItem& recent, TOutbox& outbox);

// The pairing's entries: "Pair with the service..." ("Cancel pairing" while
// a code waits for approval) and "Forget this pairing", shown while the
// device is paired.
void RefreshPairingMenu(TMenuItem& pair, TMenuItem& forget, bool paired, bool pairing);

}  // namespace ts

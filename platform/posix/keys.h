// The keys of a PC keyboard, for the desktop backends that build on the posix
// one (each sends key strokes its own way, with the same scan codes).
#pragma once

namespace platform::posix {

// The set-1 scan code of a virtual key the client synthesises (A, C, V, X,
// Shift, Ctrl, Alt, Enter); 0 for any other.
unsigned PcScanCode(unsigned virtualKey);

}  // namespace platform::posix

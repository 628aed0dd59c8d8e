// What the Linux desktop backend does differently in a Wayland session, where
// a program sees the clipboard only while it has the keyboard focus, may not
// grab keys and may not press keys in another: the selections read through
// the compositor's data-control protocol or the X server beside it, and the
// hotkey through the desktop's GlobalShortcuts portal. Not for upper layers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/window.h"

namespace platform::desktop {

enum class Selection { Clipboard, Primary };

// One read of a selection.
struct SelectionText {
  bool read = false;  // false: its owner did not hand the data over
  bool text = false;  // the selection is offered as text
  std::string utf8;   // the text, when asked for and read
};

// Through the compositor's data-control protocol (ext-data-control-v1 or
// zwlr_data_control_manager_v1). nullopt when there is no Wayland display or
// the compositor offers neither. `withText` false asks only whether text is
// offered.
std::optional<SelectionText> ReadByDataControl(Selection which, bool withText);

// Through the X server of $DISPLAY (Xwayland in a Wayland session, which
// the compositor keeps in step with its own selections), on a connection of
// our own. nullopt when there is no X server to ask.
std::optional<SelectionText> ReadByXSelection(Selection which, bool withText);

// How long the owner of a selection may keep a reader waiting for the next
// part of its data, and the most a read takes in (larger is no note).
constexpr int kOwnerPatienceMs = 5000;
constexpr size_t kMaxSelectionBytes = 64u << 20;

// The text of a selection handed over in the type `type` (a mime type or an
// X target name), as UTF-8.
std::string SelectionTextAsUtf8(const std::string& type, std::string data);

// Waits until `fd` can be read, at most `timeoutMs`, while the GUI thread's
// loop goes on: a selection this process owns is written by that loop.
// False on time-out.
bool WaitReadable(int fd, int timeoutMs);

// The hotkey as a shortcut of the desktop's GlobalShortcuts portal. True when
// the portal offers the interface: the shortcut is being bound, its trigger
// posts wm::HotKey (wParam `id`) to `window`, and a trigger other than the one
// asked for is told in a notification. False when there is no such portal.
bool PortalBindHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey);
// Stops posting for the shortcut; false when none was bound for window and id.
bool PortalReleaseHotKey(WindowHandle window, int id);

// Says once that this desktop grants no global hotkey, and what to do instead.
void SayNoGlobalHotKey();

// The trigger the portal is asked for, in the desktop shortcuts' syntax
// ("CTRL+SHIFT+F9"); empty for a key without a name.
std::string PortalTrigger(unsigned modifiers, unsigned virtualKey);
// Whether a trigger the desktop describes ("Ctrl+Shift+F9", "<Control>F9")
// names the same keys as one in the portal's syntax.
bool SameTrigger(const std::string& described, const std::string& asked);

}  // namespace platform::desktop

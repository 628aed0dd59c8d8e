// Shared between the files of the Linux desktop backend; not for upper layers.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "platform/window.h"

typedef struct _XDisplay Display;

namespace platform::desktop {

// GTK started on a display (done once, on first need); false without one.
bool HaveDisplay();
// The X11 connection under GTK, nullptr on Wayland or without a display.
Display* XDisplay();
// A Wayland session: no global key grabs, no synthesised keys.
bool WaylandSession();

// The widget behind a window of ours, nullptr for a hidden one.
GtkWidget* WidgetOf(WindowHandle window);
// Runs the window's procedure now (on the GUI thread).
bool Deliver(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
// While held, posted messages wait even in nested loops (a clipboard wait
// must not start a second snap inside the running one).
void HoldPosted(bool hold);

// Virtual-key codes and X key symbols.
unsigned KeysymOfVirtualKey(unsigned virtualKey);  // 0 when unknown
unsigned VirtualKeyOfKeysym(unsigned keysym);      // 0 when unknown

// A desktop notification (org.freedesktop.Notifications); `replaces` is the
// id of the one it takes the place of, 0 for none. Returns the new id, 0 when
// there is no notification service.
uint32_t Notify(const std::string& summary, const std::string& body, const char* icon, int timeoutMs,
                uint32_t replaces);

// The session bus, nullptr when the session has none.
GDBusConnection* SessionBus();

// The application's icon as a picture (owned by the backend).
GdkPixbuf* ApplicationPixbuf();

}  // namespace platform::desktop

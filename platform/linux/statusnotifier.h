// The tray icon as a StatusNotifierItem on the session bus, for desktops
// whose panel hosts those (KDE, XFCE, GNOME with its extension).
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace platform::desktop {

// Registers the item with the desktop's watcher; false when there is none
// (then the XEmbed tray serves). `clicked` gets true for the menu button.
bool SniStart(std::function<void(bool right)> clicked, GdkPixbuf* icon);
void SniUpdate(const std::string& tip, bool visible);
void SniStop();

}  // namespace platform::desktop

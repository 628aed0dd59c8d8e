// The tray icon's menu handed to the panel as com.canonical.dbusmenu, for a
// StatusNotifierItem host that draws the menu itself. In a Wayland session
// this is the only way: a client without a window of its own can open no
// popup there.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/shell.h"

namespace platform::desktop {

// The object path the StatusNotifierItem names in its Menu property.
constexpr const char* kMenuPath = "/MenuBar";

// Exports the menu on the session bus. `open` asks the program for its menu
// as a right click on the icon would; the program answers by calling
// TrackPopup, which hands the entries to MenuExportTake.
bool MenuExportStart(std::function<void()> open);
void MenuExportStop();

// While the export waits for the entries, or for the program to carry out an
// item the panel clicked, takes the menu TrackPopup was given and returns the
// command chosen (0: none). nullopt: the menu is the program's to show.
std::optional<int> MenuExportTake(const std::vector<MenuEntry>& entries);

}  // namespace platform::desktop

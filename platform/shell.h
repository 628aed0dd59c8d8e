// Message boxes, popup menus, opening documents, the notification area and
// the versions the tray icon needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window.h"

namespace platform {

// Message box styles and answers (the operating system's numbers).
namespace mb {
constexpr unsigned Ok = 0x00;
constexpr unsigned OkCancel = 0x01;
constexpr unsigned YesNo = 0x04;
constexpr unsigned IconError = 0x10;
constexpr unsigned IconQuestion = 0x20;
constexpr unsigned IconWarning = 0x30;
constexpr unsigned IconInformation = 0x40;
constexpr int IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7;
}  // namespace mb

// Modal; returns the button chosen. Text and caption are UTF-8.
int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned style);

// One entry of a popup menu; a caption of "-" is a separator. Command ids are
// non-zero and unique across the menu and its submenus; an entry with a
// submenu opens it and is never chosen itself.
struct MenuEntry {
  int command = 0;
  std::string caption;  // UTF-8
  bool enabled = true;
  bool checked = false;
  std::vector<MenuEntry> submenu;
};
// Shows the menu at a screen position and tracks it; returns the chosen
// command, 0 when the menu was dismissed.
int TrackPopup(WindowHandle owner, const std::vector<MenuEntry>& entries, int x, int y);

// Asks the shell to open a document or URL (system code page); > 32 on success.
std::intptr_t ShellOpen(WindowHandle owner, const char* verb, const std::string& file, const char* parameters,
                        const char* directory, int showCommand);
constexpr int kShowNormal = 1;

// The notification record of the notification area, in the shell32 5.0
// layout. Texts are in the system code page, zero-terminated.
struct NotifyIconData {
  uint32_t cbSize = 0;
  WindowHandle hWnd = 0;
  uint32_t uID = 0;
  uint32_t uFlags = 0;
  uint32_t uCallbackMessage = 0;
  IconHandle hIcon = 0;
  char szTip[128] = {};
  uint32_t dwState = 0;
  uint32_t dwStateMask = 0;
  char szInfo[256] = {};
  uint32_t uTimeout = 0;
  // For nim::SetVersion only (the system's record keeps it in uTimeout's place).
  uint32_t uVersion = 0;
  char szInfoTitle[64] = {};
  uint32_t dwInfoFlags = 0;
};

namespace nim {
// SetVersion follows every add: the version the program speaks (uVersion).
// SetFocus hands the keyboard back to the notification area (after a menu
// opened from the keyboard was dismissed).
constexpr uint32_t Add = 0, Modify = 1, Delete = 2, SetFocus = 3, SetVersion = 4;
}  // namespace nim
// Shell versions of the callback protocol. From version 3 on the shell also
// reports the keyboard: NIN_KEYSELECT (Enter or Space on the icon), NIN_SELECT
// (a click, or Enter after one) and WM_CONTEXTMENU (a right click, Shift+F10,
// the menu key). Version 4 changes the message's layout: wParam holds the
// icon's place on screen (x low, y high word, signed) and lParam the event
// (low word) and the icon ID (high word).
constexpr uint32_t kNotifyIconVersion = 3;
constexpr uint32_t kNotifyIconVersion4 = 4;
namespace nif {
constexpr uint32_t Message = 0x01, Icon = 0x02, Tip = 0x04, State = 0x08, Info = 0x10;
// Windows Vista and later: show the tip of an icon that speaks version 4
// (which otherwise leaves the tip to the program).
constexpr uint32_t ShowTip = 0x80;
}  // namespace nif
namespace nis {
constexpr uint32_t Hidden = 0x01, SharedIcon = 0x02;
}
namespace niif {
constexpr uint32_t None = 0, Info = 1, Warning = 2, Error = 3, NoSound = 0x10;
}
namespace nin {
constexpr uint32_t Select = 0x400, KeySelect = 0x401;
constexpr uint32_t BalloonShow = 0x402, BalloonHide = 0x403, BalloonTimeout = 0x404, BalloonUserClick = 0x405;
}  // namespace nin
constexpr uint32_t kContextMenu = 0x007B;  // WM_CONTEXTMENU
constexpr uint32_t kErrorTimeout = 1460;

// cbSize of the record before shell32 5 and from shell32 5 on.
uint32_t NotifyIconSizeV1();
uint32_t NotifyIconSizeV5();
// Sends one command; on failure *lastError receives the system's error code.
bool ShellNotifyIcon(uint32_t command, const NotifyIconData& data, uint32_t* lastError);

// shell32.dll's major file version, 0 when it cannot be read.
uint16_t Shell32MajorVersion();
struct OsVersion {
  uint32_t major = 0, minor = 0, build = 0;
};
OsVersion PlatformVersion();

// Icons. The application's own: the executable's icon resource 1 (or
// "MAINICON"), else the system's application icon; 0 when there is none.
// `pixels` asks for that size (0: the system's large icon size); the image
// of that size in the resource is taken, never one stretched from another
// size when the resource has it. The backend keeps the icons it hands out.
IconHandle ApplicationIcon(int pixels = 0);
// The size in pixels of the small icons the notification area shows, at the
// dpi of the monitor it is on.
int NotifyIconPixels();
IconHandle StockIcon(int which);  // 0 application, 1 information, 2 warning, 3 error
IconHandle CopyIconHandle(IconHandle icon);
void FreeIconHandle(IconHandle icon);

}  // namespace platform

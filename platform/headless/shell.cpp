// The in-process desktop's message boxes, popup menus, shell calls, the
// simulated notification area and the versions it reports.
#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/shell.h"

namespace platform {

namespace {
struct Shell {
  std::recursive_mutex lock;
  std::vector<headless::MessageBoxRecord> boxes;
  std::function<int(const headless::MessageBoxRecord&)> boxHandler;
  std::vector<headless::PopupRecord> popups;
  std::function<int(const headless::PopupRecord&)> popupHandler;
  std::vector<headless::ShellOpenRecord> opens;
  std::vector<headless::NotifyIconCall> calls;
  std::vector<NotifyIconData> tray;
  std::deque<headless::NotifyIconOutcome> script;
  uint16_t shell32 = 6;
  OsVersion os{6, 1, 7601};
  IconHandle nextIcon = 0x7000;
  IconHandle appIcon = 0x6001;
};
Shell& S() {
  static Shell* s = new Shell;
  return *s;
}
std::string Str(const char* s) { return s ? s : ""; }

auto FindIcon(const NotifyIconData& d) {
  return std::find_if(S().tray.begin(), S().tray.end(),
                      [&](const NotifyIconData& t) { return t.hWnd == d.hWnd && t.uID == d.uID; });
}

// What the shell does with one command when nothing is scripted.
bool Apply(uint32_t command, const NotifyIconData& d) {
  auto it = FindIcon(d);
  switch (command) {
    case nim::Add:
      if (it != S().tray.end() || d.hWnd == 0) return false;
      S().tray.push_back(d);
      return true;
    case nim::Modify:
      if (it == S().tray.end()) return false;
      // Only the fields named by uFlags change.
      if (d.uFlags & nif::Message) it->uCallbackMessage = d.uCallbackMessage;
      if (d.uFlags & nif::Icon) it->hIcon = d.hIcon;
      if (d.uFlags & nif::Tip) std::copy(std::begin(d.szTip), std::end(d.szTip), it->szTip);
      if (d.uFlags & nif::State) it->dwState = (it->dwState & ~d.dwStateMask) | (d.dwState & d.dwStateMask);
      if (d.uFlags & nif::Info) {
        std::copy(std::begin(d.szInfo), std::end(d.szInfo), it->szInfo);
        std::copy(std::begin(d.szInfoTitle), std::end(d.szInfoTitle), it->szInfoTitle);
        it->dwInfoFlags = d.dwInfoFlags;
        it->uTimeout = d.uTimeout;
      }
      return true;
    case nim::Delete:
      if (it == S().tray.end()) return false;
      S().tray.erase(it);
      return true;
    case nim::SetFocus:
      return it != S().tray.end();
    case nim::SetVersion:
      // The shell speaks versions up to 4 (that of Windows Vista and later).
      if (it == S().tray.end() || d.uVersion > kNotifyIconVersion4) return false;
      it->uVersion = d.uVersion;
      return true;
    default:
      return false;
  }
}
}  // namespace

int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned style) {
  headless::MessageBoxRecord r{owner, text, caption, style};
  std::function<int(const headless::MessageBoxRecord&)> handler;
  {
    std::lock_guard<std::recursive_mutex> hold(S().lock);
    S().boxes.push_back(r);
    handler = S().boxHandler;
  }
  return handler ? handler(r) : mb::IdOk;
}

int TrackPopup(WindowHandle owner, const std::vector<MenuEntry>& entries, int x, int y) {
  headless::PopupRecord r{owner, x, y, entries};
  std::function<int(const headless::PopupRecord&)> handler;
  {
    std::lock_guard<std::recursive_mutex> hold(S().lock);
    S().popups.push_back(r);
    handler = S().popupHandler;
  }
  return handler ? handler(r) : 0;
}

std::intptr_t ShellOpen(WindowHandle owner, const char* verb, const std::string& file, const char* parameters,
                        const char* directory, int showCommand) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().opens.push_back({owner, Str(verb), file, Str(parameters), Str(directory), showCommand});
  return 42;
}

uint32_t NotifyIconSizeV1() { return 88; }
uint32_t NotifyIconSizeV5() { return 488; }

bool ShellNotifyIcon(uint32_t command, const NotifyIconData& data, uint32_t* lastError) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  bool ok;
  uint32_t error = 0;
  if (!S().script.empty()) {
    headless::NotifyIconOutcome o = S().script.front();
    S().script.pop_front();
    ok = o.error == 0;
    error = o.error;
    if (ok || o.appliedAnyway) Apply(command, data);
  } else {
    ok = Apply(command, data);
    if (!ok) error = 87;  // invalid parameter, as the shell answers for an unknown icon
  }
  if (lastError) *lastError = ok ? 0 : error;
  S().calls.push_back({command, data, ok, WindowExists(data.hWnd)});
  return ok;
}

uint16_t Shell32MajorVersion() {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  return S().shell32;
}
OsVersion PlatformVersion() {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  return S().os;
}

IconHandle ApplicationIcon(int pixels) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  // Each size is an icon of its own; the size reads back with IconPixels.
  if (!S().appIcon || pixels <= 0) return S().appIcon;
  return S().appIcon | (static_cast<IconHandle>(pixels) << 16);
}
IconHandle StockIcon(int which) { return IconHandle{0x6001} + static_cast<IconHandle>(which); }
IconHandle CopyIconHandle(IconHandle icon) {
  if (!icon) return 0;
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  return S().nextIcon++;
}
void FreeIconHandle(IconHandle /*icon*/) {}

namespace headless {
namespace detail {
void ResetShell() {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().boxes.clear();
  S().boxHandler = nullptr;
  S().popups.clear();
  S().popupHandler = nullptr;
  S().opens.clear();
  S().calls.clear();
  S().tray.clear();
  S().script.clear();
  S().shell32 = 6;
  S().os = {6, 1, 7601};
  S().appIcon = 0x6001;
}
}  // namespace detail

const std::vector<MessageBoxRecord>& MessageBoxes() { return S().boxes; }
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().boxHandler = std::move(handler);
}
const std::vector<PopupRecord>& Popups() { return S().popups; }
void SetPopupHandler(std::function<int(const PopupRecord&)> handler) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().popupHandler = std::move(handler);
}
const std::vector<ShellOpenRecord>& ShellOpens() { return S().opens; }
const std::vector<NotifyIconCall>& NotifyIconCalls() { return S().calls; }
void ClearNotifyIconCalls() {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().calls.clear();
}
std::vector<NotifyIconData> TrayIcons() {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  return S().tray;
}
void ScriptNotifyIcon(std::vector<NotifyIconOutcome> outcomes) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().script.assign(outcomes.begin(), outcomes.end());
}
int IconPixels(IconHandle icon) { return static_cast<int>(icon >> 16); }
void SetApplicationIcon(IconHandle icon) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().appIcon = icon;
}
void SetShell32MajorVersion(uint16_t major) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().shell32 = major;
}
void SetPlatformVersion(uint32_t major, uint32_t minor) {
  std::lock_guard<std::recursive_mutex> hold(S().lock);
  S().os = {major, minor, 0};
}
}  // namespace headless
}  // namespace platform

// Test controls of the in-process desktop: drive it (press keys and hotkeys,
// click controls, choose answers of message boxes and menus, inject tray
// callbacks) and observe it (records of every call, window state).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/input.h"
#include "platform/secrets.h"
#include "platform/shell.h"
#include "platform/window.h"

namespace platform::headless {

// Forgets every record and returns every setting to its default (windows stay).
void ResetDesktop();

// --- windows -------------------------------------------------------------
struct WindowInfo {
  WindowKind kind = WindowKind::Hidden;
  WindowHandle parent = 0;
  std::string caption;
  Rect bounds;
  int clientWidth = 0, clientHeight = 0;
  bool visible = false, enabled = true, checked = false, readOnly = false, isDefault = false;
  bool toolWindow = false, borderIcons = true, centered = false;
  char passwordChar = 0;
  FontSpec font;
  std::vector<WindowHandle> tabSequence;
};
// nullopt for a window that does not exist.
std::optional<WindowInfo> Inspect(WindowHandle window);
std::vector<WindowHandle> AllWindows();  // in creation order

// A mouse click on a control: nothing when it or a parent is disabled or
// hidden; a check box toggles; the control gets the focus and wm::ControlClick.
bool ClickControl(WindowHandle control);
// A key pressed while the focused control has the focus; modifiers as for
// hotkeys (1 Alt, 2 Ctrl, 4 Shift) are held meanwhile. Tab moves the focus,
// Enter clicks the focused button or else the form's default button (a memo
// takes it instead); Space clicks a focused button or check box; a key
// with Alt held (or F10) arrives as wm::SysKeyDown.
void PressKey(unsigned virtualKey, unsigned modifiers = 0);
// The user types into an edit: its text becomes `utf8`.
void TypeText(WindowHandle edit, const std::string& utf8);

// Called when a message loop would wait with nothing queued. It may drive the
// desktop; returning false means nothing more will happen, and the loop has
// stalled. Without a handler a wait gives other threads up to the wait limit
// to post something before it counts as stalled.
void SetIdleHandler(std::function<bool()> handler);
void SetWaitLimit(uint32_t milliseconds);  // default 5000
// Hears of a stalled loop, which then ends as if a quit message had come.
// Without a handler a stall is reported on stderr and the process aborts:
// a test that would hang fails instead.
void SetStallHandler(std::function<void(const std::string& what)> handler);
// Another program posts the quit message to the GUI thread.
void PostQuit();
// Pumps messages until `done` holds or the limit passes; true when done.
bool PumpUntil(const std::function<bool()>& done, uint32_t milliseconds);
size_t PendingMessages();
std::vector<WindowHandle> ForegroundCalls();

// --- hotkeys and keystrokes ----------------------------------------------
struct HotKeyEntry {
  WindowHandle window;
  int id;
  unsigned modifiers;
  unsigned virtualKey;
};
std::vector<HotKeyEntry> HotKeys();
// Presses a combination anywhere: posts wm::HotKey to the registered window.
// False when no registration matches.
bool PressHotKey(unsigned modifiers, unsigned virtualKey);
// Registrations refused from now on (as when another program holds them).
void SetHotKeyTaken(unsigned modifiers, unsigned virtualKey, bool taken);

struct KeyStroke {
  uint8_t virtualKey, scanCode;
  uint32_t flags;
  std::uintptr_t extraInfo;
};
const std::vector<KeyStroke>& KeyStrokes();
// Runs after each synthesised keystroke (e.g. the foreground program copying on Ctrl+C).
void SetKeyStrokeHook(std::function<void(const KeyStroke&)> hook);

void SetCursorPos(int x, int y);
void SetDoubleClickTime(uint32_t milliseconds);  // default 500

// --- clipboard -------------------------------------------------------------
void SetClipboardText(const std::string& systemText);
void SetClipboardUnicodeText(const std::u16string& text);
void SetClipboardEmpty();
void SetClipboardNonText();  // an image only
void SetClipboardRefusesOpen(bool refuses);
int ClipboardOpenCount();  // opens so far; every open was closed again
// A desktop where no program may press keys in another (Wayland): a snap
// reads the primary selection instead of pressing Ctrl+C. Default: Keys.
void SetSelectionCopy(SelectionCopy copy);
// The text selected now; nullopt: the selection cannot be read. Default: empty.
void SetPrimarySelection(std::optional<std::u16string> text);
int PrimarySelectionReads();
// What the program that copied wrote beside its text: the page's address
// (ClipboardSourceUrl), and the mark of a password manager's copy. A new
// text on the clipboard clears both.
void SetClipboardSourceUrl(const std::string& utf8);
void SetClipboardMarkedSecret(bool marked);

// --- the focused window -------------------------------------------------------
// The title and program of the window with the focus (UTF-8); default: none.
void SetForegroundWindowInfo(const std::string& title, const std::string& program);
int ForegroundWindowAsked();  // times a snap asked

// --- message boxes, menus, shell ---------------------------------------------
struct MessageBoxRecord {
  WindowHandle owner;
  std::string text, caption;
  unsigned style;
};
const std::vector<MessageBoxRecord>& MessageBoxes();
// Chooses the answer while the box is "open" (default: IdOk for every box).
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler);

struct PopupRecord {
  WindowHandle owner;
  int x, y;
  std::vector<MenuEntry> entries;
};
const std::vector<PopupRecord>& Popups();
// Chooses the command while the menu is open (default: dismissed, 0).
void SetPopupHandler(std::function<int(const PopupRecord&)> handler);

struct ShellOpenRecord {
  WindowHandle owner;
  std::string verb, file, parameters, directory;
  int showCommand;
};
const std::vector<ShellOpenRecord>& ShellOpens();

// --- notification area -------------------------------------------------------
struct NotifyIconCall {
  uint32_t command;
  NotifyIconData data;
  bool succeeded;
  bool windowAlive;  // whether data.hWnd named a live window at the call
};
const std::vector<NotifyIconCall>& NotifyIconCalls();
void ClearNotifyIconCalls();
// Icons the simulated shell holds now, with their latest record.
std::vector<NotifyIconData> TrayIcons();
// The next calls answer by this script instead of the model, one entry per
// call: failed with `error`; `appliedAnyway` when the shell did it regardless
// (a timed-out add that still went through).
struct NotifyIconOutcome {
  uint32_t error;
  bool appliedAnyway = false;
};
void ScriptNotifyIcon(std::vector<NotifyIconOutcome> outcomes);

// The icon ApplicationIcon answers (0: the program has none; below 0x10000).
void SetApplicationIcon(IconHandle icon);
// The size an application icon was asked at, 0 for the default size.
int IconPixels(IconHandle icon);
void SetShell32MajorVersion(uint16_t major);              // default 6
void SetPlatformVersion(uint32_t major, uint32_t minor);  // default 6.1

// --- monitors and screen readers -------------------------------------------------
// The dpi of every monitor (default 96); WindowDpi answers it for every window
// not moved with SetWindowDpi. Nothing is sent: a test that changes the dpi of
// a shown window sends it wm::DpiChanged as the system would.
void SetDesktopDpi(int dpi);
void SetWindowDpi(WindowHandle window, int dpi);
// The name SetAccessibleName gave the control (empty: none).
std::string AccessibleName(WindowHandle window);

// --- the program's files and its one instance ----------------------------------
// The path ModuleFileName answers (empty: the test executable's own).
void SetModuleFileName(const std::string& path);
// The folder UserDataFolder answers (default: $HOME/.config).
void SetUserDataFolder(const std::string& folder);
// A folder that refuses new files from now on, as on a read-only medium
// (the real permissions do not stop root).
void SetFolderReadOnly(const std::string& folder, bool readOnly);
// Gives up an instance name, as when the program that claimed it has ended:
// its requests still waiting get no answer.
void ReleaseInstance(const std::string& name);

// --- secrets -------------------------------------------------------------------
// How SecretKeeper says this system keeps secrets (default: a keyring). Both
// ways work here whatever it says.
void SetSecretKeeper(TSecretKeeper keeper);
// While false no keyring answers (NoKeyring); what it kept is there again
// once it is back. ResetDesktop empties it.
void SetKeyringAvailable(bool available);

}  // namespace platform::headless

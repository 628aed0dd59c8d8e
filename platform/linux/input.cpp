// Global hotkeys as passive key grabs on the X root window (in a Wayland
// session through the desktop's portal, portal.cpp), synthesised keys
// through XTest, and the pointer. A grab names exact modifier states, so each
// hotkey is grabbed four times: with and without NumLock and CapsLock.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input.h"
#include "platform/linux/desktop.h"
#include "platform/linux/wayland.h"
#include "platform/posix/keys.h"

namespace platform {

namespace {

struct Grab {
  WindowHandle window;
  int id;
  unsigned modifiers;
  unsigned virtualKey;
  KeyCode keycode;
  unsigned mask;
};

struct Keys {
  std::mutex lock;
  std::vector<Grab> grabs;
  bool filterInstalled = false;
  KeyCode pressed = 0;  // the grabbed key whose release completes the hotkey
  Grab fired{};
  bool waylandSaid = false;
};
Keys& K() {
  static Keys* k = new Keys;
  return *k;
}

const std::map<unsigned, unsigned>& VkTable() {
  static const std::map<unsigned, unsigned> table = [] {
    std::map<unsigned, unsigned> t = {{8, XK_BackSpace},      {9, XK_Tab},           {12, XK_Clear},
                                      {13, XK_Return},        {16, XK_Shift_L},      {17, XK_Control_L},
                                      {18, XK_Alt_L},         {19, XK_Pause},        {20, XK_Caps_Lock},
                                      {27, XK_Escape},        {32, XK_space},        {33, XK_Prior},
                                      {34, XK_Next},          {35, XK_End},          {36, XK_Home},
                                      {37, XK_Left},          {38, XK_Up},           {39, XK_Right},
                                      {40, XK_Down},          {44, XK_Print},        {45, XK_Insert},
                                      {46, XK_Delete},        {47, XK_Help},         {91, XK_Super_L},
                                      {92, XK_Super_R},       {93, XK_Menu},         {106, XK_KP_Multiply},
                                      {107, XK_KP_Add},       {109, XK_KP_Subtract}, {110, XK_KP_Decimal},
                                      {111, XK_KP_Divide},    {144, XK_Num_Lock},    {145, XK_Scroll_Lock},
                                      {160, XK_Shift_L},      {161, XK_Shift_R},     {162, XK_Control_L},
                                      {163, XK_Control_R},    {164, XK_Alt_L},       {165, XK_Alt_R},
                                      {186, XK_semicolon},    {187, XK_equal},       {188, XK_comma},
                                      {189, XK_minus},        {190, XK_period},      {191, XK_slash},
                                      {192, XK_grave},        {219, XK_bracketleft}, {220, XK_backslash},
                                      {221, XK_bracketright}, {222, XK_apostrophe}};
    for (unsigned c = 'A'; c <= 'Z'; ++c) t[c] = XK_a + (c - 'A');
    for (unsigned c = '0'; c <= '9'; ++c) t[c] = XK_0 + (c - '0');
    for (unsigned i = 0; i < 10; ++i) t[0x60 + i] = XK_KP_0 + i;
    for (unsigned i = 0; i < 24; ++i) t[0x70 + i] = XK_F1 + i;
    return t;
  }();
  return table;
}

unsigned MaskOf(unsigned modifiers) {
  return ((modifiers & 1) ? Mod1Mask : 0u) | ((modifiers & 2) ? ControlMask : 0u) | ((modifiers & 4) ? ShiftMask : 0u) |
         ((modifiers & 8) ? Mod4Mask : 0u);
}

// The lock modifiers a grab must not depend on.
const unsigned kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
constexpr unsigned kRelevant = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

GdkFilterReturn RootKeys(GdkXEvent* raw, GdkEvent*, gpointer) {
  auto* ev = static_cast<XEvent*>(raw);
  if (ev->type != KeyPress && ev->type != KeyRelease) return GDK_FILTER_CONTINUE;
  if (ev->xkey.window != DefaultRootWindow(ev->xkey.display)) return GDK_FILTER_CONTINUE;
  Grab fired{};
  {
    std::lock_guard<std::mutex> hold(K().lock);
    if (ev->type == KeyPress) {
      for (const Grab& g : K().grabs)
        if (g.keycode == ev->xkey.keycode && g.mask == (ev->xkey.state & kRelevant)) {
          K().pressed = g.keycode;
          K().fired = g;
        }
      return GDK_FILTER_REMOVE;
    }
    // The release ends the grab's hold on the keyboard: only then can a
    // synthesised Ctrl+C reach the window that has the focus. The modifiers
    // may have been let go first; the press decided which hotkey it is.
    if (K().pressed == 0 || K().pressed != ev->xkey.keycode) return GDK_FILTER_REMOVE;
    K().pressed = 0;
    fired = K().fired;
  }
  PostToWindow(fired.window, wm::HotKey, static_cast<std::uintptr_t>(fired.id),
               static_cast<std::intptr_t>(fired.modifiers | (fired.virtualKey << 16)));
  return GDK_FILTER_REMOVE;
}

void InstallFilter(Display* dpy) {
  if (K().filterInstalled) return;
  K().filterInstalled = true;
  // Held keys repeat as presses only, so a release really is one.
  Bool supported = False;
  XkbSetDetectableAutoRepeat(dpy, True, &supported);
  gdk_window_add_filter(nullptr, RootKeys, nullptr);
}

void Ungrab(Display* dpy, const Grab& g) {
  Window root = DefaultRootWindow(dpy);
  for (unsigned extra : kLockVariants) XUngrabKey(dpy, g.keycode, g.mask | extra, root);
}

// A key another program holds: the user hears why the hotkey does nothing
// and what to do, instead of finding out by pressing it.
void SayKeyTaken(unsigned modifiers, unsigned keysym) {
  std::string name;
  if (modifiers & 2) name += "Ctrl+";
  if (modifiers & 1) name += "Alt+";
  if (modifiers & 4) name += "Shift+";
  const char* key = XKeysymToString(keysym);
  name += key ? key : "?";
  std::fprintf(stderr, "textsnap: the hotkey %s is taken by another program\n", name.c_str());
  desktop::Notify("text snap for pinleaf online",
                  name +
                      " is taken by another program, so text snap cannot use it as its hotkey. Choose another "
                      "key under Settings... in the tray menu, or bind a desktop shortcut to: textsnap --snap",
                  "dialog-warning", 15000, 0);
}

}  // namespace

namespace desktop {
void SayNoGlobalHotKey() {
  if (K().waylandSaid) return;
  K().waylandSaid = true;
  desktop::Notify("text snap for pinleaf online",
                  "This desktop (Wayland) lets no program take a global hotkey. Bind your desktop's own keyboard "
                  "shortcut to the command: textsnap --snap",
                  "dialog-information", 15000, 0);
}

unsigned KeysymOfVirtualKey(unsigned virtualKey) {
  auto it = VkTable().find(virtualKey);
  return it == VkTable().end() ? 0 : it->second;
}
unsigned VirtualKeyOfKeysym(unsigned keysym) {
  if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
  for (const auto& [vk, sym] : VkTable())
    if (sym == keysym && (vk < 160 || vk > 165)) return vk;
  if (keysym == XK_Shift_R) return 16;
  if (keysym == XK_Control_R) return 17;
  if (keysym == XK_Alt_R || keysym == XK_ISO_Level3_Shift) return 18;
  return 0;
}
}  // namespace desktop

bool RegisterGlobalHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey) {
  if (desktop::WaylandSession()) {
    if (!desktop::KeysymOfVirtualKey(virtualKey)) return false;
    // The desktop's GlobalShortcuts portal, where it offers one.
    if (desktop::PortalBindHotKey(window, id, modifiers, virtualKey)) return true;
    desktop::SayNoGlobalHotKey();
    return false;
  }
  Display* dpy = desktop::XDisplay();
  unsigned sym = desktop::KeysymOfVirtualKey(virtualKey);
  if (!dpy || !sym || !WindowExists(window)) return false;
  KeyCode code = XKeysymToKeycode(dpy, sym);
  if (code == 0) return false;
  Grab g{window, id, modifiers, virtualKey, code, MaskOf(modifiers)};
  {
    std::lock_guard<std::mutex> hold(K().lock);
    for (const Grab& e : K().grabs)
      if ((e.window == window && e.id == id) || (e.keycode == code && e.mask == g.mask)) return false;
  }
  InstallFilter(dpy);
  GdkDisplay* gdisplay = gdk_display_get_default();
  gdk_x11_display_error_trap_push(gdisplay);
  Window root = DefaultRootWindow(dpy);
  for (unsigned extra : kLockVariants) XGrabKey(dpy, code, g.mask | extra, root, False, GrabModeAsync, GrabModeAsync);
  XSync(dpy, False);
  if (gdk_x11_display_error_trap_pop(gdisplay) != 0) {
    // Another program holds the combination (BadAccess): take back what we got.
    gdk_x11_display_error_trap_push(gdisplay);
    Ungrab(dpy, g);
    XSync(dpy, False);
    gdk_x11_display_error_trap_pop_ignored(gdisplay);
    SayKeyTaken(modifiers, sym);
    return false;
  }
  std::lock_guard<std::mutex> hold(K().lock);
  K().grabs.push_back(g);
  return true;
}

bool UnregisterGlobalHotKey(WindowHandle window, int id) {
  if (desktop::PortalReleaseHotKey(window, id)) return true;
  Display* dpy = desktop::XDisplay();
  std::lock_guard<std::mutex> hold(K().lock);
  auto it =
      std::find_if(K().grabs.begin(), K().grabs.end(), [&](const Grab& g) { return g.window == window && g.id == id; });
  if (it == K().grabs.end()) return false;
  if (dpy) {
    GdkDisplay* gdisplay = gdk_display_get_default();
    gdk_x11_display_error_trap_push(gdisplay);
    Ungrab(dpy, *it);
    XSync(dpy, False);
    gdk_x11_display_error_trap_pop_ignored(gdisplay);
  }
  if (K().pressed == it->keycode) K().pressed = 0;
  K().grabs.erase(it);
  return true;
}

void SendKeyEvent(uint8_t virtualKey, uint8_t /*scanCode*/, uint32_t flags, std::uintptr_t /*extraInfo*/) {
  Display* dpy = desktop::XDisplay();
  unsigned sym = desktop::KeysymOfVirtualKey(virtualKey);
  if (!dpy || !sym) return;
  KeyCode code = XKeysymToKeycode(dpy, sym);
  if (!code) return;
  bool down = (flags & 2) == 0;
  if (down && (sym == XK_Control_L || sym == XK_Control_R)) {
    // Modifiers of the hotkey still held would turn Ctrl+C into another
    // shortcut (Ctrl+Shift+C): let them go first, as a user would.
    char keys[32] = {};
    XQueryKeymap(dpy, keys);
    for (unsigned held : {XK_Shift_L, XK_Shift_R, XK_Alt_L, XK_Alt_R, XK_Super_L, XK_Super_R, XK_Meta_L, XK_Meta_R}) {
      KeyCode k = XKeysymToKeycode(dpy, held);
      if (k && (keys[k / 8] & (1 << (k % 8)))) XTestFakeKeyEvent(dpy, k, False, CurrentTime);
    }
  }
  XTestFakeKeyEvent(dpy, code, down ? True : False, CurrentTime);
  XFlush(dpy);
}

unsigned MapKeyCode(unsigned code, unsigned mapType) {
  // X finds the key from its symbol: the scan code only keeps the records faithful.
  return mapType == 0 ? posix::PcScanCode(code) : 0;
}

Point CursorPos() {
  if (!desktop::HaveDisplay()) return {};
  GdkDisplay* d = gdk_display_get_default();
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(d));
  int x = 0, y = 0;
  gdk_device_get_position(pointer, nullptr, &x, &y);
  return {x, y};
}

uint32_t DoubleClickTime() {
  int ms = 400;
  if (desktop::HaveDisplay()) g_object_get(gtk_settings_get_default(), "gtk-double-click-time", &ms, nullptr);
  return static_cast<uint32_t>(ms);
}

}  // namespace platform

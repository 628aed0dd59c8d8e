// The focused window on X11, as the window manager announces it: the root
// window's _NET_ACTIVE_WINDOW, its _NET_WM_NAME (else WM_NAME), and the
// program behind its _NET_WM_PID (else its WM_CLASS). A Wayland session tells
// no program which window has the focus: nothing is known there.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/foreground.h"
#include "platform/linux/desktop.h"

namespace platform {

namespace {

// A property's items as bytes; empty when the window lacks it (or is gone).
std::string Property(Display* dpy, Window window, const char* name, Atom type, int& format) {
  Atom actualType = None;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  std::string out;
  format = 0;
  // A title longer than this is cut (far beyond what a note's title keeps).
  if (XGetWindowProperty(dpy, window, XInternAtom(dpy, name, False), 0, 16384, False, type, &actualType, &format,
                         &items, &after, &data) == Success &&
      data && actualType != None) {
    const size_t unit = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
    out.assign(reinterpret_cast<const char*>(data), items * unit);
  }
  if (data) XFree(data);
  return out;
}

unsigned long Cardinal(Display* dpy, Window window, const char* name, Atom type) {
  int format = 0;
  const std::string bytes = Property(dpy, window, name, type, format);
  if (format != 32 || bytes.size() < sizeof(long)) return 0;
  unsigned long value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

std::string Title(Display* dpy, Window window) {
  int format = 0;
  std::string title = Property(dpy, window, "_NET_WM_NAME", XInternAtom(dpy, "UTF8_STRING", False), format);
  if (!title.empty()) return title;
  // WM_NAME in whatever encoding its type names (STRING, COMPOUND_TEXT, ...).
  XTextProperty text{};
  if (!XGetWMName(dpy, window, &text) || !text.value) return {};
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(dpy, &text, &list, &count) >= Success && list && count > 0) title = list[0];
  if (list) XFreeStringList(list);
  XFree(text.value);
  return title;
}

std::string FileName(std::string path) {
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program of a process on this machine: its executable's name, or the
// name the kernel keeps for it where the executable may not be looked at
// (another user's process).
std::string ProgramOf(unsigned long pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char path[PATH_MAX];
  const ssize_t n = readlink((proc + "/exe").c_str(), path, sizeof path - 1);
  if (n > 0) return FileName(std::string(path, static_cast<size_t>(n)));
  std::ifstream comm(proc + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

bool OnThisMachine(Display* dpy, Window window) {
  int format = 0;
  std::string machine = Property(dpy, window, "WM_CLIENT_MACHINE", XA_STRING, format);
  if (machine.empty()) return true;  // not said: taken as local, as window managers do
  while (!machine.empty() && machine.back() == '\0') machine.pop_back();
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof host - 1);
  return machine == host;
}

std::string Program(Display* dpy, Window window) {
  const unsigned long pid = Cardinal(dpy, window, "_NET_WM_PID", XA_CARDINAL);
  if (pid > 0 && OnThisMachine(dpy, window)) {
    std::string name = ProgramOf(pid);
    if (!name.empty()) return name;
  }
  XClassHint hint{};
  if (!XGetClassHint(dpy, window, &hint)) return {};
  std::string name = hint.res_name ? hint.res_name : "";
  if (name.empty() && hint.res_class) name = hint.res_class;
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return name;
}

}  // namespace

ForegroundWindow ForegroundWindowInfo() {
  ForegroundWindow out;
  Display* dpy = desktop::XDisplay();
  if (!dpy) return out;
  GdkDisplay* gdisplay = gdk_x11_lookup_xdisplay(dpy);
  // The window may close while it is asked: its errors are answers here.
  if (gdisplay) gdk_x11_display_error_trap_push(gdisplay);
  const Window active = static_cast<Window>(Cardinal(dpy, DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW));
  if (active != None) {
    out.title = Title(dpy, active);
    out.program = Program(dpy, active);
  }
  if (gdisplay) gdk_x11_display_error_trap_pop_ignored(gdisplay);
  return out;
}

}  // namespace platform

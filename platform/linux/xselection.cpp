// The selections of a Wayland session read through the X server beside the
// compositor (Xwayland), on an X connection of our own. GNOME offers no
// data-control protocol, but keeps the X selections in step with its own,
// and an X client may read a selection whether or not it has the focus.
//
// The usual conversation of an X selection reader: ask for the owner's
// TARGETS, pick a text type, ask for it into a property of a window of ours,
// and take larger texts in the increments (INCR) the owner hands out.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/wayland.h"

namespace platform::desktop {

namespace {

// Errors on this connection (a window gone away) are answers, not reasons to
// end the process, which Xlib's own handler would do.
int g_errors = 0;
int CountError(Display*, XErrorEvent*) {
  ++g_errors;
  return 0;
}

class Reader {
public:
  explicit Reader(Display* dpy) : dpy_(dpy), previous_(XSetErrorHandler(CountError)) {
    window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(dpy_, window_, PropertyChangeMask);
    property_ = XInternAtom(dpy_, "TEXTSNAP_SELECTION", False);
  }
  ~Reader() {
    XDestroyWindow(dpy_, window_);
    XSync(dpy_, False);
    XSetErrorHandler(previous_);
    XCloseDisplay(dpy_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  Atom Intern(const char* name) { return XInternAtom(dpy_, name, False); }

  // A time of the server's to ask with, as owners may refuse CurrentTime.
  Time Now() {
    XChangeProperty(dpy_, window_, property_, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent ev;
    if (!Next(ev, [&](const XEvent& e) { return e.type == PropertyNotify && e.xproperty.window == window_; }))
      return CurrentTime;
    return ev.xproperty.time;
  }

  enum class Answer { Data, Refused, Silent };

  // The selection converted to `target` into `data`; Silent when the owner
  // stopped answering. `type` is what it was handed over as.
  Answer Convert(Atom selection, Atom target, Time time, std::string& data, Atom& type, int& format) {
    data.clear();
    XDeleteProperty(dpy_, window_, property_);
    XConvertSelection(dpy_, selection, target, property_, window_, time);
    XFlush(dpy_);
    XEvent ev;
    if (!Next(ev, [&](const XEvent& e) {
          return e.type == SelectionNotify && e.xselection.requestor == window_ && e.xselection.selection == selection;
        }))
      return Answer::Silent;
    if (ev.xselection.property == None) return Answer::Refused;
    if (!Take(data, type, format)) return Answer::Refused;
    if (type != Intern("INCR")) return Answer::Data;
    // INCR: deleting the property (Take did) asks for each next part; an
    // empty part ends the data.
    data.clear();
    for (;;) {
      if (!Next(ev, [&](const XEvent& e) {
            return e.type == PropertyNotify && e.xproperty.window == window_ && e.xproperty.atom == property_ &&
                   e.xproperty.state == PropertyNewValue;
          }))
        return Answer::Silent;
      std::string part;
      if (!Take(part, type, format)) return Answer::Refused;
      if (part.empty()) return Answer::Data;
      data += part;
      if (data.size() > kMaxSelectionBytes) return Answer::Refused;
    }
  }

private:
  // Reads and deletes our property; format 32 items come as longs.
  bool Take(std::string& data, Atom& type, int& format) {
    unsigned long count = 0, after = 0;
    unsigned char* bytes = nullptr;
    if (XGetWindowProperty(dpy_, window_, property_, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format, &count,
                           &after, &bytes) != Success)
      return false;
    size_t unit = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
    data.assign(reinterpret_cast<const char*>(bytes), bytes ? count * unit : 0);
    if (bytes) XFree(bytes);
    return true;
  }

  bool Next(XEvent& ev, const std::function<bool(const XEvent&)>& match) {
    for (;;) {
      while (XPending(dpy_)) {
        XNextEvent(dpy_, &ev);
        if (match(ev)) return true;
      }
      if (!WaitReadable(ConnectionNumber(dpy_), kOwnerPatienceMs)) return false;
    }
  }

  Display* dpy_;
  XErrorHandler previous_;
  Window window_ = 0;
  Atom property_ = 0;
};

}  // namespace

std::optional<SelectionText> ReadByXSelection(Selection which, bool withText) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return std::nullopt;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return std::nullopt;
  Reader reader(dpy);
  SelectionText result;
  result.read = true;
  Atom selection = which == Selection::Primary ? XA_PRIMARY : reader.Intern("CLIPBOARD");
  if (XGetSelectionOwner(dpy, selection) == None) return result;  // nothing is offered

  const Time time = reader.Now();
  std::string data;
  Atom type = None;
  int format = 0;
  const char* const kTypes[] = {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "TEXT", "STRING"};
  const char* chosen = nullptr;
  Reader::Answer listed = reader.Convert(selection, reader.Intern("TARGETS"), time, data, type, format);
  if (listed == Reader::Answer::Silent) {
    result.read = false;
    return result;
  }
  if (listed == Reader::Answer::Data && format == 32) {
    std::vector<Atom> offered(data.size() / sizeof(unsigned long));
    for (size_t i = 0; i < offered.size(); ++i) {
      unsigned long atom = 0;
      std::memcpy(&atom, data.data() + i * sizeof atom, sizeof atom);
      offered[i] = static_cast<Atom>(atom);
    }
    for (const char* wanted : kTypes) {
      const Atom atom = reader.Intern(wanted);
      for (Atom a : offered)
        if (!chosen && a == atom) chosen = wanted;
    }
    result.text = chosen != nullptr;
    if (!result.text || !withText) return result;
  } else {
    chosen = "UTF8_STRING";  // an owner that lists nothing may still convert
  }
  Reader::Answer answer = reader.Convert(selection, reader.Intern(chosen), time, data, type, format);
  result.read = answer != Reader::Answer::Silent;
  result.text = answer == Reader::Answer::Data && format == 8;
  if (result.text && withText) result.utf8 = SelectionTextAsUtf8(chosen, std::move(data));
  return result;
}

}  // namespace platform::desktop

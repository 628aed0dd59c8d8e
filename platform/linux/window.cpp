// Windows and messages on the Linux desktop: forms are GTK top-level windows
// holding their controls at fixed places, controls are GTK widgets, hidden
// windows are message targets only. The window core's posted queue and
// timers are a source of GLib's main loop, so GTK's own nested loops (menus,
// message boxes) dispatch them too, just as the system's do on Windows.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/window_core.h"
#include "platform/linux/desktop.h"
#include "platform/window.h"

namespace platform {

namespace {

// A window's GTK side; the core holds its kind, parent and procedure.
struct Win : core::TNative {
  WindowKind kind = WindowKind::Hidden;  // the core's, at hand for the widget code
  GtkWidget* widget = nullptr;           // the top-level window of a form, the control itself
  GtkWidget* fixed = nullptr;            // a form's client area
  GtkCssProvider* css = nullptr;
  std::string caption;  // kept for kinds whose widget holds no text
  Rect bounds;
  bool visible = false, enabled = true, isDefault = false, checked = false;
  bool centered = false;
  // Its children went first: a control leaves its form, a form goes with its widgets.
  ~Win() override {
    if (widget) {
      if (kind == WindowKind::Form) {
        gtk_widget_destroy(widget);
      } else {
        if (GtkWidget* p = gtk_widget_get_parent(widget)) gtk_container_remove(GTK_CONTAINER(p), widget);
        g_object_unref(widget);
      }
    }
    if (css) g_object_unref(css);
  }
};

// Guarded by the core's lock.
struct State {
  GSource* source = nullptr;
  int displayState = 0;       // 0 not tried, 1 present, -1 none
  bool settingState = false;  // a change made by us, not by the user
  unsigned keyModifiers = 0;  // modifiers of the key being delivered (1 Alt, 2 Ctrl, 4 Shift)
  bool inKey = false;
};

State& S() {
  static State* s = new State;
  return *s;
}

using Guard = std::lock_guard<std::recursive_mutex>;

Win* Find(WindowHandle h) { return core::NativeOf<Win>(h); }
WindowHandle ParentOf(WindowHandle h) {
  core::TWindow* w = core::Find(h);
  return w ? w->parent : 0;
}

WindowHandle HandleOfWidget(GtkWidget* w) {
  return w ? reinterpret_cast<WindowHandle>(g_object_get_data(G_OBJECT(w), "ts-handle")) : 0;
}

// --- the core's queue and timers as a GLib source -----------------------------

bool g_quitPosted = false;

gboolean QueuePrepare(GSource*, gint* timeout) {
  uint32_t untilTimer = core::kNoTimer;
  const bool ready = core::Ready(&untilTimer);
  *timeout = ready ? 0 : untilTimer == core::kNoTimer ? -1 : static_cast<gint>(std::min<uint32_t>(untilTimer, 1 << 30));
  return ready;
}
gboolean QueueCheck(GSource*) { return core::Ready(); }
gboolean QueueDispatch(GSource*, GSourceFunc, gpointer) {
  // A quit message is no window's: it ends the loop that pumps it.
  if (auto next = core::TakeNext())
    if (core::Dispatch(*next) == Pumped::Quit) g_quitPosted = true;
  return G_SOURCE_CONTINUE;
}
GSourceFuncs g_queueFuncs = {QueuePrepare, QueueCheck, QueueDispatch, nullptr, nullptr, nullptr};

void EnsureQueue() {
  Guard hold(core::Lock());
  if (S().source) return;
  S().source = g_source_new(&g_queueFuncs, sizeof(GSource));
  // A handler may run a loop of its own (a modal window, a menu): the queue
  // must go on being served inside it.
  g_source_set_can_recurse(S().source, TRUE);
  g_source_attach(S().source, nullptr);
  // A post from another thread ends the main loop's wait.
  core::SetWaker([] { g_main_context_wakeup(nullptr); });
}

// --- widgets ----------------------------------------------------------------------

void OnClicked(GtkWidget* w, gpointer) {
  if (S().settingState) return;
  WindowHandle h = HandleOfWidget(w);
  if (Win* win = Find(h); win && win->kind == WindowKind::CheckBox)
    win->checked = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
  desktop::Deliver(h, wm::ControlClick, 0, 0);
}

unsigned ModifiersOf(guint state) {
  return ((state & GDK_MOD1_MASK) ? 1u : 0u) | ((state & GDK_CONTROL_MASK) ? 2u : 0u) |
         ((state & GDK_SHIFT_MASK) ? 4u : 0u);
}

unsigned VirtualKeyOfEvent(GdkEventKey* e) {
  unsigned vk = desktop::VirtualKeyOfKeysym(gdk_keyval_to_lower(e->keyval));
  if (vk) return vk;
  // A shifted symbol ("!" on the 1 key): the key's own, unshifted symbol.
  guint plain = 0;
  if (gdk_keymap_translate_keyboard_state(gdk_keymap_get_for_display(gdk_display_get_default()), e->hardware_keycode,
                                          static_cast<GdkModifierType>(0), 0, &plain, nullptr, nullptr, nullptr))
    vk = desktop::VirtualKeyOfKeysym(gdk_keyval_to_lower(plain));
  return vk;
}

gboolean OnKeyPress(GtkWidget* w, GdkEventKey* e, gpointer) {
  // Tab and Enter belong to the form: focus movement and the default button.
  switch (e->keyval) {
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
      return FALSE;
    default:
      break;
  }
  unsigned vk = VirtualKeyOfEvent(e);
  if (!vk) return FALSE;
  unsigned mods = ModifiersOf(e->state);
  bool system = (mods & 1) || vk == 121 || vk == 18 || vk == 164 || vk == 165;
  S().keyModifiers = mods;
  S().inKey = true;
  desktop::Deliver(HandleOfWidget(w), system ? wm::SysKeyDown : wm::KeyDown, vk, 1);
  S().inKey = false;
  return FALSE;  // the key goes on to the control as it would on Windows
}

gboolean OnDelete(GtkWidget* w, GdkEvent*, gpointer) {
  desktop::Deliver(HandleOfWidget(w), wm::Close, 0, 0);
  return TRUE;  // a form ends only through FreeWindow
}

void ApplyFont(Win& win, const FontSpec& font) {
  if (!win.widget) return;
  int px = font.height < 0 ? -font.height : (font.height * 4 + 2) / 5;  // cell height to character height
  if (px <= 0) px = 12;
  std::string family = font.name.empty() ? std::string() : "\"" + font.name + "\", ";
  std::string css = "* { font-family: " + family + "sans-serif; font-size: " + std::to_string(px) +
                    "px; font-weight: " + (font.bold ? "bold" : "normal") + "; }";
  if (!win.css) {
    win.css = gtk_css_provider_new();
    GtkWidget* target = win.widget;
    gtk_style_context_add_provider(gtk_widget_get_style_context(target), GTK_STYLE_PROVIDER(win.css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    if (GTK_IS_BIN(target)) {
      if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(target)); child && GTK_IS_LABEL(child))
        gtk_style_context_add_provider(gtk_widget_get_style_context(child), GTK_STYLE_PROVIDER(win.css),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
  }
  gtk_css_provider_load_from_data(win.css, css.c_str(), -1, nullptr);
}

// A label's lines: a lone CR starts a new line as LF does.
std::string DisplayText(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r') {
      out += '\n';
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
    } else {
      out += utf8[i];
    }
  }
  return out;
}

GtkWidget* CheckLabelOf(GtkWidget* w) {
  GtkWidget* child = GTK_IS_BIN(w) ? gtk_bin_get_child(GTK_BIN(w)) : nullptr;
  return child && GTK_IS_LABEL(child) ? child : nullptr;
}

void ShowCaption(Win& win) {
  if (!win.widget) return;
  switch (win.kind) {
    case WindowKind::Form:
      gtk_window_set_title(GTK_WINDOW(win.widget), win.caption.c_str());
      break;
    case WindowKind::Button:
    case WindowKind::CheckBox:
      gtk_button_set_label(GTK_BUTTON(win.widget), win.caption.c_str());
      // A replaced label needs the window's font again.
      if (win.css)
        if (GtkWidget* l = CheckLabelOf(win.widget))
          gtk_style_context_add_provider(gtk_widget_get_style_context(l), GTK_STYLE_PROVIDER(win.css),
                                         GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
      break;
    case WindowKind::Edit: {
      S().settingState = true;
      gtk_entry_set_text(GTK_ENTRY(win.widget), win.caption.c_str());
      S().settingState = false;
      break;
    }
    case WindowKind::Memo:
      gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(win.widget)), win.caption.c_str(),
                               static_cast<gint>(win.caption.size()));
      break;
    case WindowKind::Label:
      gtk_label_set_text(GTK_LABEL(win.widget), DisplayText(win.caption).c_str());
      break;
    default:
      break;
  }
}

GtkWidget* FormFixed(WindowHandle h) {
  for (; Win* w = Find(h); h = ParentOf(h))
    if (w->kind == WindowKind::Form) return w->fixed;
  return nullptr;
}

void PlaceControl(WindowHandle h, Win& win) {
  if (!win.widget || win.kind == WindowKind::Form) return;
  GtkWidget* fixed = FormFixed(ParentOf(h));
  GtkWidget* current = gtk_widget_get_parent(win.widget);
  if (current != fixed) {
    g_object_ref(win.widget);
    if (current) gtk_container_remove(GTK_CONTAINER(current), win.widget);
    if (fixed) gtk_fixed_put(GTK_FIXED(fixed), win.widget, win.bounds.left, win.bounds.top);
    g_object_unref(win.widget);
  } else if (fixed) {
    gtk_fixed_move(GTK_FIXED(fixed), win.widget, win.bounds.left, win.bounds.top);
  }
  gtk_widget_set_size_request(win.widget, win.bounds.width > 0 ? win.bounds.width : -1,
                              win.bounds.height > 0 ? win.bounds.height : -1);
  if (win.isDefault && fixed) {
    gtk_widget_set_can_default(win.widget, TRUE);
    gtk_window_set_default(GTK_WINDOW(gtk_widget_get_toplevel(fixed)), win.widget);
  }
}

GtkWidget* MakeWidget(WindowKind kind) {
  GtkWidget* w = nullptr;
  switch (kind) {
    case WindowKind::Form: {
      w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
      gtk_window_set_resizable(GTK_WINDOW(w), FALSE);
      g_signal_connect(w, "delete-event", G_CALLBACK(OnDelete), nullptr);
      return w;
    }
    case WindowKind::Button:
      w = gtk_button_new_with_label("");
      g_signal_connect(w, "clicked", G_CALLBACK(OnClicked), nullptr);
      break;
    case WindowKind::CheckBox:
      w = gtk_check_button_new_with_label("");
      g_signal_connect(w, "clicked", G_CALLBACK(OnClicked), nullptr);
      break;
    case WindowKind::Edit:
      w = gtk_entry_new();
      gtk_entry_set_activates_default(GTK_ENTRY(w), TRUE);
      gtk_entry_set_width_chars(GTK_ENTRY(w), 1);
      break;
    case WindowKind::Memo:
      w = gtk_text_view_new();
      break;
    case WindowKind::Label:
      w = gtk_label_new("");
      gtk_label_set_xalign(GTK_LABEL(w), 0.0f);
      gtk_label_set_yalign(GTK_LABEL(w), 0.0f);
      break;
    default:
      return nullptr;
  }
  g_signal_connect(w, "key-press-event", G_CALLBACK(OnKeyPress), nullptr);
  g_object_ref_sink(w);  // ours until it has a form to live in
  return w;
}

}  // namespace

namespace desktop {

bool HaveDisplay() {
  Guard hold(core::Lock());
  if (S().displayState == 0) {
    S().displayState = gtk_init_check(nullptr, nullptr) ? 1 : -1;
    EnsureQueue();
  }
  return S().displayState > 0;
}

Display* XDisplay() {
  if (!HaveDisplay()) return nullptr;
  GdkDisplay* d = gdk_display_get_default();
  return d && GDK_IS_X11_DISPLAY(d) ? gdk_x11_display_get_xdisplay(d) : nullptr;
}

bool WaylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  if (type && std::strcmp(type, "wayland") == 0) return true;
  return HaveDisplay() && XDisplay() == nullptr;
}

GtkWidget* WidgetOf(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  return w ? w->widget : nullptr;
}

bool Deliver(WindowHandle window, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  Message m{msg, wParam, lParam, 0};
  return core::Deliver(window, m);
}

void HoldPosted(bool hold) { core::HoldPosted(hold); }

}  // namespace desktop

bool DesktopAvailable() { return desktop::HaveDisplay(); }

WindowHandle NewWindow(WindowKind kind, WindowHandle parent, WindowProc proc) {
  bool gui = kind != WindowKind::Hidden && desktop::HaveDisplay();
  EnsureQueue();
  Guard hold(core::Lock());
  auto native = std::make_unique<Win>();
  Win& w = *native;
  w.kind = kind;
  w.visible = kind != WindowKind::Form && kind != WindowKind::Hidden;
  if (gui) {
    w.widget = MakeWidget(kind);
    if (kind == WindowKind::Form) {
      w.fixed = gtk_fixed_new();
      gtk_container_add(GTK_CONTAINER(w.widget), w.fixed);
      gtk_widget_show(w.fixed);
    } else if (w.widget) {
      gtk_widget_show(w.widget);
    }
  }
  WindowHandle h = core::AddWindow(kind, parent, std::move(proc), std::move(native));
  if (w.widget) g_object_set_data(G_OBJECT(w.widget), "ts-handle", reinterpret_cast<gpointer>(h));
  if (parent) PlaceControl(h, w);
  return h;
}

void FreeWindow(WindowHandle window) { core::RemoveWindow(window); }

void SetWindowParent(WindowHandle window, WindowHandle parent) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w || w->kind == WindowKind::Form) return;
  core::Find(window)->parent = parent;
  PlaceControl(window, *w);
}

void SetWindowCaption(WindowHandle window, const std::string& utf8) {
  Guard hold(core::Lock());
  if (Win* w = Find(window)) {
    w->caption = utf8;
    ShowCaption(*w);
  }
}

std::string WindowCaption(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return {};
  if (w->widget && w->kind == WindowKind::Edit) return gtk_entry_get_text(GTK_ENTRY(w->widget));
  return w->caption;
}

void SetWindowBounds(WindowHandle window, const Rect& bounds) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return;
  w->bounds = bounds;
  if (!w->widget) return;
  if (w->kind == WindowKind::Form) {
    gtk_window_move(GTK_WINDOW(w->widget), bounds.left, bounds.top);
  } else {
    PlaceControl(window, *w);
  }
}

Rect WindowBounds(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return {};
  if (w->widget && w->kind == WindowKind::Form && gtk_widget_get_visible(w->widget)) {
    Rect r = w->bounds;
    gtk_window_get_position(GTK_WINDOW(w->widget), &r.left, &r.top);
    return r;
  }
  return w->bounds;
}

void SetClientSize(WindowHandle window, int width, int height) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return;
  w->bounds.width = width;
  w->bounds.height = height;
  if (w->fixed) gtk_widget_set_size_request(w->fixed, width, height);
}

void CenterOnScreen(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return;
  w->centered = true;
  if (w->widget && w->kind == WindowKind::Form) gtk_window_set_position(GTK_WINDOW(w->widget), GTK_WIN_POS_CENTER);
}

void SetWindowVisible(WindowHandle window, bool visible) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w || w->kind == WindowKind::Hidden) return;
  w->visible = visible;
  if (!w->widget) return;
  if (w->kind == WindowKind::Form && visible) {
    gtk_widget_show(w->widget);
    gtk_window_present(GTK_WINDOW(w->widget));
  } else {
    gtk_widget_set_visible(w->widget, visible);
  }
}

bool WindowVisible(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  return w && w->visible;
}

void SetWindowEnabled(WindowHandle window, bool enabled) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return;
  w->enabled = enabled;
  if (w->widget) gtk_widget_set_sensitive(w->widget, enabled);
}

bool WindowEnabled(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  return w && w->enabled;
}

void SetWindowFont(WindowHandle window, const FontSpec& font) {
  Guard hold(core::Lock());
  if (Win* w = Find(window)) ApplyFont(*w, font);
}

void SetFormFrame(WindowHandle form, bool toolWindow, bool borderIcons) {
  Guard hold(core::Lock());
  Win* w = Find(form);
  if (!w || !w->widget || w->kind != WindowKind::Form) return;
  gtk_window_set_type_hint(GTK_WINDOW(w->widget),
                           toolWindow ? GDK_WINDOW_TYPE_HINT_UTILITY : GDK_WINDOW_TYPE_HINT_NORMAL);
  gtk_window_set_deletable(GTK_WINDOW(w->widget), borderIcons);
}

void SetButtonDefault(WindowHandle button, bool isDefault) {
  Guard hold(core::Lock());
  Win* w = Find(button);
  if (!w) return;
  w->isDefault = isDefault;
  if (w->widget) PlaceControl(button, *w);
}

void SetChecked(WindowHandle checkBox, bool checked) {
  Guard hold(core::Lock());
  Win* w = Find(checkBox);
  if (!w) return;
  w->checked = checked;
  if (w->widget && GTK_IS_TOGGLE_BUTTON(w->widget)) {
    S().settingState = true;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w->widget), checked);
    S().settingState = false;
  }
}

bool Checked(WindowHandle checkBox) {
  Guard hold(core::Lock());
  Win* w = Find(checkBox);
  if (!w) return false;
  if (w->widget && GTK_IS_TOGGLE_BUTTON(w->widget)) return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w->widget));
  return w->checked;
}

void SetPasswordChar(WindowHandle edit, char ch) {
  Guard hold(core::Lock());
  Win* w = Find(edit);
  if (!w || !w->widget || !GTK_IS_ENTRY(w->widget)) return;
  gtk_entry_set_visibility(GTK_ENTRY(w->widget), ch == 0);
  if (ch) gtk_entry_set_invisible_char(GTK_ENTRY(w->widget), static_cast<gunichar>(static_cast<unsigned char>(ch)));
}

void SetReadOnly(WindowHandle edit, bool readOnly) {
  Guard hold(core::Lock());
  Win* w = Find(edit);
  if (!w || !w->widget) return;
  if (GTK_IS_EDITABLE(w->widget)) gtk_editable_set_editable(GTK_EDITABLE(w->widget), !readOnly);
  if (GTK_IS_TEXT_VIEW(w->widget)) gtk_text_view_set_editable(GTK_TEXT_VIEW(w->widget), !readOnly);
}

void SetTabSequence(WindowHandle form, const std::vector<WindowHandle>& order) {
  Guard hold(core::Lock());
  Win* f = Find(form);
  if (!f || !f->fixed) return;
  GList* chain = nullptr;
  for (WindowHandle h : order)
    if (Win* w = Find(h); w && w->widget && gtk_widget_get_parent(w->widget) == f->fixed)
      chain = g_list_append(chain, w->widget);
  // GTK 3 still honours an explicit focus chain; it is the only way to give a
  // fixed layout an order other than that of creation.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_container_set_focus_chain(GTK_CONTAINER(f->fixed), chain);
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_list_free(chain);
}

Point MeasureText(WindowHandle window, const std::string& utf8) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w || !w->widget) {
    // Without a display: a plain model of a 12-pixel font.
    int lines = 1, width = 0, widest = 0;
    for (char c : DisplayText(utf8)) {
      if (c == '\n') {
        ++lines;
        width = 0;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        width += 7;
        widest = std::max(widest, width);
      }
    }
    return {widest, lines * 14};
  }
  GtkWidget* target = w->widget;
  if (GtkWidget* l = CheckLabelOf(target)) target = l;
  PangoLayout* layout = gtk_widget_create_pango_layout(target, DisplayText(utf8).c_str());
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  return {width, height};
}

void FocusWindow(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (w && w->widget && w->kind != WindowKind::Form) gtk_widget_grab_focus(w->widget);
}

WindowHandle FocusedWindow() {
  Guard hold(core::Lock());
  for (WindowHandle h : core::Windows()) {
    Win* w = Find(h);
    if (!w || w->kind != WindowKind::Form || !w->widget || !w->visible) continue;
    if (GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(w->widget)))
      if (WindowHandle f = HandleOfWidget(focus)) return f;
  }
  return 0;
}

bool KeyIsDown(unsigned virtualKey) {
  unsigned mods = 0;
  if (S().inKey) {
    mods = S().keyModifiers;
  } else if (desktop::HaveDisplay()) {
    mods = ModifiersOf(gdk_keymap_get_modifier_state(gdk_keymap_get_for_display(gdk_display_get_default())));
  }
  return (virtualKey == 18 && (mods & 1)) || (virtualKey == 17 && (mods & 2)) || (virtualKey == 16 && (mods & 4));
}

Pumped PumpMessage(bool wait) {
  EnsureQueue();
  bool dispatched = g_main_context_iteration(nullptr, wait ? TRUE : FALSE) != FALSE;
  if (g_quitPosted) {
    g_quitPosted = false;
    return Pumped::Quit;
  }
  return dispatched || wait ? Pumped::Message : Pumped::Nothing;
}

bool BringToForeground(WindowHandle window) {
  Guard hold(core::Lock());
  Win* w = Find(window);
  if (!w) return false;
  if (w->widget && w->kind == WindowKind::Form && w->visible) gtk_window_present(GTK_WINDOW(w->widget));
  return true;
}

}  // namespace platform

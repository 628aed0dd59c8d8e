// Monitors and screen readers on the Linux desktop. GTK scales its windows
// by the display's scale factor itself, so the toolkit draws at 96 dpi here;
// names reach screen readers through the widgets' ATK objects.
#include <gtk/gtk.h>

#include "platform/linux/desktop.h"
#include "platform/window.h"

namespace platform {

int WindowDpi(WindowHandle /*window*/) { return kBaseDpi; }

void SetAccessibleName(WindowHandle window, const std::string& utf8) {
  GtkWidget* widget = desktop::WidgetOf(window);
  if (!widget) return;
  if (AtkObject* accessible = gtk_widget_get_accessible(widget)) atk_object_set_name(accessible, utf8.c_str());
}

}  // namespace platform

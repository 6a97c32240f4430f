// The desktop window's connection to its display, where GDK alone would end the process: a
// window that another X client destroyed, and a display that went away (its server crashed, a
// remote link broke). Main thread only.
#pragma once

#include <gtk/gtk.h>

namespace download_app {

// From now on, the X errors that follow another client's destruction of the shown `window` are
// dropped, and its "destroy" signal comes as for any window GTK destroys. Nothing on Wayland.
void toleratePeerDestruction(GtkWidget* window);

// Calls `lost` on the application loop once `display` has hung up (or, on X11, its connection has
// failed inside a call), and at every turn of the loop from then on, in place of GDK's own
// sources: nothing may touch the display after it.
void watchDisplay(GdkDisplay* display, void (*lost)());

}  // namespace download_app

#include "download_app/gtk_display.h"

#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <poll.h>

#include <mutex>

// For XESetWireToError. Last, as it defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace download_app {
namespace {

// Another X client may destroy the window (a forced close), and GTK learns of it only later:
// its requests meanwhile fail, first with BadWindow or BadDrawable about the window, then about
// what it made from it, and GDK would end the process on any of them. From the first error about
// our window on, they are all dropped; the window's "destroy" signal ends the run as a close
// does. Xlib asks this hook before any error handler, with the display locked: no Xlib calls.
using WireToError = Bool (*)(Display*, XErrorEvent*, xError*);
WireToError previousWireToError[256] = {};
XID shownWindow = 0;
bool shownWindowGone = false;

Bool dropErrorsOnceWindowGone(Display* display, XErrorEvent* error, xError* wire) {
  bool aboutShownWindow = shownWindow != 0 && error->resourceid == shownWindow;
  if (aboutShownWindow && (error->error_code == BadWindow || error->error_code == BadDrawable))
    shownWindowGone = true;
  if (shownWindowGone) return False;
  WireToError previous = previousWireToError[error->error_code];
  return previous != nullptr ? previous(display, error, wire) : True;
}

// GDK ends the process when the connection to its display breaks, on X11 and on Wayland, and
// nothing of ours runs. So the connection is watched ahead of GDK, by a source of higher
// priority. Once the display has hung up, that source stays ready, so the loop never again
// prepares or checks GDK's sources, which would read the broken connection.
//
// On X11 the display may also go while GDK waits for a reply (a paint, an accessibility query),
// and GDK's handler of the I/O error ends the process there, silently, leaving the run's
// temporary directory behind. Since libX11 1.7 a handler may return instead: the connection is
// then left inert, its calls fail, and the watch ends the run on the loop's next turn.
bool connectionBroken = false;

// Declared weak: the window helper runs on the system's libX11, which may be older.
extern "C" void XSetIOErrorExitHandler(Display*, XIOErrorExitHandler, void*) __attribute__((weak));

int noteBrokenConnection(Display*) {
  connectionBroken = true;
  return 0;
}

void leaveInert(Display*, void*) {}

struct DisplayWatch {
  GSource source;
  GPollFD connection;
  bool lost;
  void (*onLost)();
};

gboolean displayHungUp(GSource* source) {
  auto* watch = reinterpret_cast<DisplayWatch*>(source);
  if (!watch->lost) {
    pollfd connection{watch->connection.fd, POLLRDHUP, 0};
    watch->lost = connectionBroken || (poll(&connection, 1, 0) == 1 && connection.revents != 0);
  }
  return watch->lost;
}

GSourceFuncs displayWatchFuncs = {
    [](GSource* source, gint* timeout) {
      *timeout = -1;
      return displayHungUp(source);
    },
    displayHungUp,
    [](GSource* source, GSourceFunc, gpointer) -> gboolean {
      reinterpret_cast<DisplayWatch*>(source)->onLost();
      return G_SOURCE_CONTINUE;
    },
    nullptr, nullptr, nullptr};

}  // namespace

void toleratePeerDestruction(GtkWidget* window) {
  GdkWindow* native = gtk_widget_get_window(window);
  if (native == nullptr || !GDK_IS_X11_WINDOW(native)) return;
  shownWindow = GDK_WINDOW_XID(native);
  shownWindowGone = false;
  static std::once_flag hooked;
  std::call_once(hooked, [display = GDK_WINDOW_XDISPLAY(native)] {
    for (int code = 1; code < 256; ++code)
      previousWireToError[code] = XESetWireToError(display, code, dropErrorsOnceWindowGone);
  });
}

void watchDisplay(GdkDisplay* display, void (*lost)()) {
  int fd = -1;
  if (GDK_IS_X11_DISPLAY(display)) {
    fd = ConnectionNumber(GDK_DISPLAY_XDISPLAY(display));
    if (XSetIOErrorExitHandler != nullptr) {  // without it, Xlib would exit after any handler
      XSetIOErrorExitHandler(GDK_DISPLAY_XDISPLAY(display), leaveInert, nullptr);
      XSetIOErrorHandler(noteBrokenConnection);
    }
  }
  if (GDK_IS_WAYLAND_DISPLAY(display))
    fd = wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
  if (fd < 0) return;
  GSource* source = g_source_new(&displayWatchFuncs, sizeof(DisplayWatch));
  auto* watch = reinterpret_cast<DisplayWatch*>(source);
  watch->connection = {fd, static_cast<gushort>(POLLRDHUP), 0};
  watch->onLost = lost;
  g_source_add_poll(source, &watch->connection);
  g_source_set_priority(source, G_PRIORITY_HIGH);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

}  // namespace download_app

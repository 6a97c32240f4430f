// The desktop window module's entry, looked up by download_app/desktop_window_in_process.cpp.
#include "download_app/gtk_window.h"

// The window, for the caller to own; nothing when GTK cannot open the display.
extern "C" __attribute__((visibility("default"))) download_app::DownloadWindow*
installer_make_desktop_window(const std::optional<download_app::Image>* splash,
                              download_app::WindowEvents* events) {
  return download_app::makeGtkWindow(*splash, *events).release();
}

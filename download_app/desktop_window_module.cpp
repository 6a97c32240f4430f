// The desktop window module's entry, looked up by download_app/desktop_window.cpp.
#include "download_app/gtk_window.h"

// Fills `controls` with the shown window; false when no display can be opened.
extern "C" __attribute__((visibility("default"))) bool installer_make_desktop_window(
    download_app::WindowControls* controls) {
  std::optional<download_app::WindowControls> window = download_app::makeGtkWindow();
  if (!window) return false;
  *controls = std::move(*window);
  return true;
}

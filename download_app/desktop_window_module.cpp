// The desktop window module's entry, looked up by download_app/desktop_window.cpp.
#include "download_app/gtk_window.h"

// Sets `controls` to the shown window, or to nothing when no display can be opened.
extern "C" __attribute__((visibility("default"))) void installer_make_desktop_window(
    std::optional<download_app::WindowControls>* controls) {
  *controls = download_app::makeGtkWindow();
}

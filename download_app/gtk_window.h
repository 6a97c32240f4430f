// The download window on a desktop, built with GTK 3 from the interface file
// "download_window.ui", compiled in. It runs in the desktop window module or the window helper,
// on the main thread, on GLib's default main context.
#pragma once

#include <optional>

#include "download_app/controls.h"
#include "download_app/translation.h"

namespace download_app {

// The title of the download window, in English; the window shows it in the user's language.
inline constexpr const char* kDownloadWindowTitle = N_("Installer");

// The window and its controls, shown at their first redraw; nothing when no display can be
// opened.
std::optional<WindowControls> makeGtkWindow();

}  // namespace download_app

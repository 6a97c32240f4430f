// The download window on a desktop, built with GTK 3 from the interface file
// "download_window.ui", compiled in. It runs in the desktop window module or the window helper,
// on the main thread, on GLib's default main context.
#pragma once

#include <memory>
#include <optional>

#include "download_app/download_window.h"
#include "download_app/translation.h"

namespace download_app {

// The title of the download window, in English; the window shows it in the user's language.
inline constexpr const char* kDownloadWindowTitle = N_("Installer");

// The window with `splash` (when there is one), hidden until its first call that draws and
// reporting to `events`; nothing when GTK cannot open the display.
std::unique_ptr<DownloadWindow> makeGtkWindow(const std::optional<Image>& splash,
                                              WindowEvents& events);

}  // namespace download_app

// The download window on a desktop, built with GTK 3. The window, its splash image, progress bar,
// status line and button come from the interface file "download_window.ui", compiled in as a
// resource. This code and GTK make the desktop window module, which the executable carries and
// loads only when it shows the window (download_app/desktop_window.cpp). Every function here and
// every control it returns is for the main thread, which runs the application loop on GLib's
// default main context.
#pragma once

#include <optional>

#include "download_app/controls.h"
#include "download_app/translation.h"

namespace download_app {

// The title of the download window, in English; the window shows it in the user's language.
inline constexpr const char* kDownloadWindowTitle = N_("Installer");

// The side, in points, of the square into which the splash image is fitted.
inline constexpr double kSplashSide = 400;

// True when GTK could open the display (the desktop window's loader asks for one only when
// DISPLAY or WAYLAND_DISPLAY names it). GTK is initialised on the first call; later calls give
// the same answer without trying again.
bool openDesktopDisplay();

// The window and its controls, shown; nothing when no display can be opened.
std::optional<WindowControls> makeGtkWindow();

}  // namespace download_app

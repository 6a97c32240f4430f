// The desktop window's two roads, behind makeDesktopWindow (desktop_window.cpp, which probes the
// display first): the development build loads the GTK window as a module into this process
// (desktop_window_in_process.cpp); the portable installer, whose own GLib cannot run the
// system's GTK, starts the window helper (desktop_window_process.cpp). The build links one of
// them and carries its file. Main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "download_app/download_window.h"

namespace download_app {

// The road's file that the installer carries (the module or the helper), written into a new
// anonymous file; -1 when it cannot be (errno says why).
int carriedDesktopWindowFile();

enum class Wait { kReady, kTimedOut, kInterrupted };

// Waits until `fd` is ready for `events` (poll's), at the latest until `deadline`; a
// termination signal ends the wait at once.
Wait waitForReady(int fd, short events, std::chrono::steady_clock::time_point deadline);

// The window on the road this build takes, once the display has answered; nothing, with
// `problem` saying why, when it cannot be loaded or opens no display.
std::unique_ptr<DownloadWindow> openDesktopWindow(const std::optional<Image>& splash,
                                                  WindowEvents& events, WindowStatus& problem);

}  // namespace download_app

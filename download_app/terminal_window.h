// The download window on a terminal: one line redrawn in place, with the status text, the bar
// and the bytes received (and the total when known). A failure is printed in red on a line of
// its own; when the stream is not a terminal, only failures are written, as plain lines. Nobody
// can press a button there (Ctrl-C closes the window instead), so it closes after a failure.
// Main thread only.
#pragma once

#include <memory>

#include "download_app/download_window.h"

namespace download_app {

// The terminal window on `fd`; `isTerminal` chooses between the redrawn line and plain failure
// lines.
std::unique_ptr<DownloadWindow> makeTerminalWindow(int fd, bool isTerminal);

// The terminal window on standard error.
std::unique_ptr<DownloadWindow> makeTerminalWindow();

}  // namespace download_app

// The download window drawn on a terminal. On a terminal the window is one line, redrawn in place:
// the status text, the bar and the bytes received (and the total when known); an indeterminate bar
// animates on a timer of the application loop. A failure (red status text) is printed in red on a
// line of its own. When the stream is not a terminal only failures are written, as plain lines. The
// window closes itself right after a failure, as no user can close it. Main thread only.
#pragma once

#include "download_app/controls.h"

namespace download_app {

// The terminal window on `fd`; `isTerminal` chooses between the redrawn line and plain failure
// lines. `makeTerminalWindow` uses standard error and asks whether it is a terminal.
WindowControls makeTerminalWindowOn(int fd, bool isTerminal);

}  // namespace download_app

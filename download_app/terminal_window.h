// The download window on a terminal: one line redrawn in place, with the status text, the bar
// and the bytes received (and the total when known). A failure is printed in red on a line of
// its own; when the stream is not a terminal, only failures are written, as plain lines. Main
// thread only.
#pragma once

#include "download_app/controls.h"

namespace download_app {

// The terminal window on `fd`; `isTerminal` chooses between the redrawn line and plain failure
// lines.
WindowControls makeTerminalWindowOn(int fd, bool isTerminal);

}  // namespace download_app

// The desktop window, loaded when it is shown.
//
// GTK and the hundred libraries it brings take longer to load than a cached run takes to start
// its agent, and a terminal has no use for them. So the GTK window (download_app/gtk_window.h)
// is built as a module that the executable carries inside itself; `makeDesktopWindow`
// (declared in controls.h) loads it, from memory, only when DISPLAY or WAYLAND_DISPLAY names a
// display. On a terminal, or on a machine without GTK, the installer never loads GTK.
//
// A module that cannot be loaded is written to the system log, and the run goes on with the
// terminal window. The module stays loaded until the process ends: GTK cannot be unloaded.
#pragma once

#include "download_app/controls.h"

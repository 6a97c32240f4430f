// Driving the installer's desktop window from a test, on a real X display (Xvfb in CI).
//
// Windows are found with `xdotool` by the process that owns them and their title, pressed
// with its keys, closed the way a window manager's close button does (a WM_DELETE_WINDOW
// message), and photographed with ImageMagick's `import` into
// "<build dir>/screenshots/<Suite>.<Test>[-<step>].png" so that a person can see what a user
// saw. Pictures are read back with GdkPixbuf to count pixels of a colour.
//
// Every wait is bounded. Safe from the test's main thread; the helpers keep no state.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

struct _XDisplay;  // Xlib's Display

namespace testsupport {

// True when DISPLAY names a display (the window tests skip otherwise).
bool haveDisplay();

// The X id (decimal) of a visible window of process `pid` titled exactly `title`, waiting up
// to `timeout` for it to appear; empty when none did.
std::string findWindow(pid_t pid, const std::string& title, std::chrono::milliseconds timeout);

// True when no visible window of `pid` titled `title` is left, waiting up to `timeout`.
bool waitForWindowGone(pid_t pid, const std::string& title, std::chrono::milliseconds timeout);

// The window's title as the X server has it; empty on error.
std::string windowTitle(const std::string& windowId);

// Gives the window the keyboard focus and presses Return on it.
bool pressReturn(const std::string& windowId);

// Asks the window to close as a window manager's close button does (WM_DELETE_WINDOW). False
// when the window is gone already.
bool requestClose(const std::string& windowId);

// Counts the windows that any client maps on the display from its construction on, as a
// window manager would see them: one that flashes by for a moment counts as much as one that
// stays.
class MappedWindows {
 public:
  MappedWindows();
  ~MappedWindows();
  MappedWindows(const MappedWindows&) = delete;
  MappedWindows& operator=(const MappedWindows&) = delete;

  // The windows mapped so far; -1 when the display cannot be watched.
  int count();

 private:
  _XDisplay* display_ = nullptr;
  int mapped_ = 0;
};

// Destroys the window from outside, as `xdotool windowclose` does.
bool destroyWindow(const std::string& windowId);

// Saves a picture of the window as "<build dir>/screenshots/<Suite>.<Test>[-<step>].png" and
// returns its path; empty on failure.
std::string screenshot(const std::string& windowId, const std::string& step = "");

// Colour tests for `countPixels`, on 8-bit channels.
using PixelTest = std::function<bool(int red, int green, int blue)>;
bool isSplashGreen(int red, int green, int blue);  // the colour of `writeSplashPng`
bool isStatusRed(int red, int green, int blue);    // the failure text's red (anti-aliased core)

// How many pixels of the PNG at `path` pass `test`; -1 when it cannot be read.
long countPixels(const std::string& path, const PixelTest& test);

// Writes a `width` x `height` PNG of one green (see `isSplashGreen`); true on success.
bool writeSplashPng(const std::string& path, int width, int height);

// Takes screenshots of the window until one holds at least `minimum` pixels passing `test`,
// for up to `timeout`; returns that count (or the last count seen). The last picture stays.
long waitForPixels(const std::string& windowId, const PixelTest& test, long minimum,
                   std::chrono::milliseconds timeout, const std::string& step = "");

}  // namespace testsupport

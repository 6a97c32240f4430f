// Driving the installer's desktop window from a test, on X11 (Xvfb) or on Wayland (headless
// weston), as tools/lib/desktop-session starts them.
//
// The window is found, read and pressed over AT-SPI, as assistive technology sees it: the
// window of a process, its status text, its bar and its button. What only the window system can
// do is done its way: on X11 a close request is a WM_DELETE_WINDOW message to the window xdotool
// finds, on Wayland a press of the title bar's close button; screenshots come from ImageMagick's
// `import` on X11 and from weston-screenshooter on Wayland (the whole output, cut down to the
// window). They are kept as "<build dir>/screenshots/<Suite>.<Test>[-<step>]-<x11|wayland>.png"
// so that a person can see what a user saw, and read back with GdkPixbuf to count pixels.
//
// Every wait is bounded. For the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _AtspiAccessible AtspiAccessible;

namespace testsupport {

enum class Desktop { kNone, kX11, kWayland };

// The desktop the tests run on: Wayland when WAYLAND_DISPLAY names one, X11 when DISPLAY does.
Desktop currentDesktop();
// "wayland" or "x11" (or "none"), for names of screenshots and messages.
std::string desktopName();
// True when a display is named and a session bus carries the accessibility bus (the window
// tests skip otherwise; tools/lib/desktop-session gives both).
bool haveDisplay();

// One accessible object, with a reference of its own.
class Accessible {
 public:
  Accessible() = default;
  explicit Accessible(AtspiAccessible* adopted);
  explicit operator bool() const { return object_ != nullptr; }
  AtspiAccessible* get() const { return object_.get(); }

  std::string role() const;  // "label", "progress bar", "push button"...
  std::string name() const;
  std::string description() const;
  std::vector<Accessible> children() const;
  Accessible parent() const;
  bool hasState(int atspiState) const;  // an AtspiStateType
  // The first object below this one (depth first) whose role is `role`.
  Accessible find(const std::string& role) const;

 private:
  struct Unref {
    void operator()(AtspiAccessible* object) const;
  };
  std::shared_ptr<AtspiAccessible> object_;
};

// A value as an AT-SPI value interface gives it.
struct BarValue {
  double value = -1;
  double maximum = -1;
};

// The download window of one process, as AT-SPI shows it.
class DesktopWindow {
 public:
  // The shown window of process `pid`, waiting up to `timeout` for it to appear.
  static std::optional<DesktopWindow> find(pid_t pid, std::chrono::milliseconds timeout);

  // The process that draws it: the installer, or the portable installer's window helper.
  pid_t pid() const { return pid_; }
  std::string title() const;
  Accessible status() const;  // the status text
  Accessible bar() const;
  Accessible button() const;  // the Cancel/Close button (not the title bar's)
  BarValue barValue() const;

  // Waits up to `timeout` for `check` to hold; true when it did.
  static bool waitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout);

  // Presses the button through its AT-SPI action.
  bool pressButton() const;
  // Asks the window to close as its title bar's close button does: a press of that button on
  // Wayland, a WM_DELETE_WINDOW message on X11. False when the window is gone already.
  bool requestClose() const;
  // Destroys the window from outside, as `xdotool windowclose` does. X11 only.
  bool destroy() const;
  // True once the window has left the screen, waiting up to `timeout`.
  bool waitGone(std::chrono::milliseconds timeout) const;

  // Saves a picture of the window (see above) and returns its path; empty on failure.
  std::string screenshot(const std::string& step = "") const;

 private:
  DesktopWindow(pid_t pid, Accessible frame) : pid_(pid), frame_(std::move(frame)) {}
  Accessible content() const;  // the box that holds splash, status, bar and button
  std::string x11Window() const;

  pid_t pid_;
  Accessible frame_;
};

// Colour tests for `countPixels`, on 8-bit channels.
using PixelTest = std::function<bool(int red, int green, int blue)>;
bool isSplashGreen(int red, int green, int blue);  // the colour of `writeSplashPng`
bool isStatusRed(int red, int green, int blue);    // a failure text's red (anti-aliased core)

// How many pixels of the PNG at `path` pass `test`; -1 when it cannot be read.
long countPixels(const std::string& path, const PixelTest& test);

// Writes a `width` x `height` PNG of one green (see `isSplashGreen`); true on success.
bool writeSplashPng(const std::string& path, int width, int height);

// Takes screenshots of the window until one holds at least `minimum` pixels passing `test`,
// for up to `timeout`; returns that count (or the last count seen). The last picture stays.
long waitForPixels(const DesktopWindow& window, const PixelTest& test, long minimum,
                   std::chrono::milliseconds timeout, const std::string& step = "");

}  // namespace testsupport

// The download window as a run talks to it: the few calls that draw what the controls hold
// (controls.h), and the events that come back from its user. Implemented by the terminal window
// (terminal_window.h), the GTK window (gtk_window.h) and, in the portable installer, the window
// helper across its socket (desktop_window_process.cpp), whose messages are exactly these calls.
// Main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "host/status.h"

namespace download_app {

// The bar: a value of a maximum, or busy without an end.
struct Progress {
  double value = 0;
  double maximum = 100;
  bool indeterminate = false;  // the bar moves by itself
  bool countsBytes = false;    // the value grew by the bytes received: the bar shows them
  bool operator==(const Progress&) const = default;
};

// The status text over the bar and the button under it.
struct Status {
  std::string text;
  std::string button = {};  // the button's title
  bool buttonEnabled = true;
  bool operator==(const Status&) const = default;
};

// An image from the bundle's resources, fitted into a size in points, its proportions kept.
struct Image {
  std::string path;
  double width = 0;
  double height = 0;
};

// The bounds of the waits at the window's edge: for the display's first answer, the window
// helper's first message, and for the helper to read what it was sent.
constexpr std::chrono::seconds kDisplayAnswer{4};
constexpr std::chrono::seconds kFirstMessage{6};
constexpr std::chrono::seconds kBehind{4};

// Why the desktop window could not be loaded, or can draw no more (failures.h words it). The
// subject names the display, or holds what the loader or the helper said.
enum class WindowProblem {
  kDisplayUnreachable,  // the display `subject` could not be reached
  kDisplaySilent,       // the display `subject` did not answer within kDisplayAnswer
  kDisplayHungUp,       // the display `subject` hung up
  kTerminated,          // a termination signal came first
  kModuleUnwritten,     // the GTK module could not be written out
  kModuleUnloadable,    // the loader refused it, for `subject`
  kNoDisplay,           // GTK could not open the display
  kHelperUnstarted,     // the window helper could not be started
  kHelperComplained,    // it ended before it started, with `subject` as its first line, if any
  kHelperSilent,        // it sent no first message within kFirstMessage
  kHelperNoise,         // it sent what no message is
  kHelperMisspoke,      // its first message was neither of the two it can be
  kHelperBehind,        // it left its messages unread for kBehind
};
using WindowStatus = host::Status<WindowProblem>;

// What reaches the run from the window's user, on the application loop, never from inside one of
// the window's calls.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void pressed() = 0;  // the button
  // The window has gone: its user or the window manager closed it, another client destroyed it,
  // or its display went. It draws nothing more.
  virtual void closed() = 0;
  // The window can draw no more (its helper fell behind, or said what it cannot have meant),
  // for `cause`; the run goes on with the terminal window.
  virtual void lost(const WindowStatus& cause) = 0;
};

class DownloadWindow {
 public:
  virtual ~DownloadWindow() = default;
  // Each of the three draws and shows the window; a hidden one is shown again.
  virtual void progress(const Progress& bar) = 0;
  virtual void status(const Status& status) = 0;
  // A failure: the status in the failure colour.
  virtual void failure(const Status& status) = 0;
  // Off the screen until the next call that draws.
  virtual void hide() = 0;
  // Off the screen for good; nobody is told.
  virtual void close() = 0;
  // A window no user can close (the terminal) is closed right after it shows a failure.
  virtual bool closesAfterFailure() const { return false; }
};

// The desktop window made with `splash` (when there is one), reporting to `events`. Nothing when
// no display is named, and, said in the system log, when none answers in time or the window
// cannot be loaded.
std::unique_ptr<DownloadWindow> makeDesktopWindow(const std::optional<Image>& splash,
                                                  WindowEvents& events);

}  // namespace download_app

// The download window's main interface: it creates the `Download` object and connects it to
// the window's controls (controls.h), whose window is loaded once it has something to show. The
// `Download` object is the delegate of the window and of the application. Main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "download_app/controls.h"
#include "download_app/download.h"

namespace download_app {

// How long a download may go undecided before its window is shown anyway: a slow server
// still gets a window promptly, a current cache found sooner none. "__VL_WINDOW_DELAY_MS__"
// (milliseconds) replaces it for tests.
inline constexpr std::chrono::milliseconds kWindowDelay{150};

// A duration in milliseconds from the environment variable `name`, when it holds a positive
// one: the tests' settings of the download's and the window's waits.
std::optional<std::chrono::milliseconds> millisecondsFromEnvironment(const char* name);

class MainInterface {
 public:
  // Connects a new `Download` for `request` to the window that `load` (or else `fallback`)
  // makes once it has something to show: the button's first title is "Cancel" and pressing it
  // closes the window.
  MainInterface(WindowLoader load, WindowLoader fallback, DownloadRequest request);
  // Ends the download's session before the controls go.
  ~MainInterface();

  Download& download() { return *download_; }
  Window& window() { return window_; }

  // The download starts first; the window follows when it has something to show, or after
  // `kWindowDelay`.
  void applicationDidFinishLaunching();
  // Ctrl-C, SIGTERM and SIGHUP close the window like its close button.
  void closeRequested() { window().close(); }

 private:
  std::unique_ptr<Download> download_;
  // The window and its controls, each at its address for as long as the interface lives.
  ControlState state_;
  Window window_;
  ProgressBar progress_{state_.bar};
  StatusText status_{state_};
  Button button_{state_};
  ImageView image_{state_};
};

// The interface on the desktop window when a display answers, on the terminal otherwise.
std::unique_ptr<MainInterface> loadMainInterface(DownloadRequest request);

}  // namespace download_app

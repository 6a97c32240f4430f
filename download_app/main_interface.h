// The download window's main interface: it makes the window and its controls, creates the
// `Download` object and connects the two. The desktop window is made when a display can be opened,
// the terminal window otherwise. The `Download` object becomes the delegate of the window and of
// the application (the application loop's launch and close requests go to it and to its window).
// Main thread only.
#pragma once

#include <memory>

#include "download_app/controls.h"
#include "download_app/download.h"

namespace download_app {

class MainInterface {
 public:
  // Connects `controls` to a new `Download` for `request`: the button's first title is
  // "Cancel" and pressing it closes the window.
  MainInterface(WindowControls controls, DownloadRequest request);
  // Ends the download's session before the controls go.
  ~MainInterface();
  MainInterface(const MainInterface&) = delete;
  MainInterface& operator=(const MainInterface&) = delete;

  Download& download() { return *download_; }
  Window& window() { return *controls_.window; }

  // The application delegate's calls, as the application loop makes them.
  void applicationDidFinishLaunching() { download_->applicationDidFinishLaunching(); }
  // Ctrl-C, SIGTERM and SIGHUP close the window like its close button.
  void closeRequested() { controls_.window->close(); }

 private:
  WindowControls controls_;
  std::unique_ptr<Download> download_;
};

// The interface on the desktop window when there is one, on the terminal window otherwise.
std::unique_ptr<MainInterface> loadMainInterface(DownloadRequest request);

}  // namespace download_app

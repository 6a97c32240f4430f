// The download window, loaded only once it has something to show.
//
// A run whose cache is current hands over to its agent a few tens of milliseconds after it
// starts; a window shown meanwhile would flash by unread, and the desktop window's toolkit
// alone takes longer to load than such a run. So the main interface hands the `Download` object
// stand-ins for the window's controls. They keep what is set on them until the window is
// loaded, which happens the first time the window is asked to draw (a download has begun, a
// failure or a wait must be shown) or when the delay given to `drawAfter` has passed. The loaded
// window then gets every kept call, in the order it was made, and every later call goes
// straight to it. A window closed before it was loaded is never loaded: closing it only tells
// its delegate. Main thread only; the loader runs on the main thread, inside the call that
// needed the window.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "download_app/controls.h"

namespace download_app {

class DeferredWindow {
 public:
  // `load` makes the window and its controls, shown; it is called at most once.
  explicit DeferredWindow(std::function<WindowControls()> load);
  ~DeferredWindow();
  DeferredWindow(const DeferredWindow&) = delete;
  DeferredWindow& operator=(const DeferredWindow&) = delete;

  // The stand-ins, for the download to drive. A window not loaded yet counts as visible until
  // it is closed, and its bar's maximum is the last one set (100 before any).
  WindowControls& controls() { return standIns_; }

  // Draws the window, loading it, once `delay` has passed on the application loop, unless it
  // has been loaded or closed by then.
  void drawAfter(std::chrono::milliseconds delay);

  struct State;  // shared by the stand-ins

 private:
  std::shared_ptr<State> state_;
  WindowControls standIns_;
};

}  // namespace download_app

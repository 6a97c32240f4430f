// The download window, loaded only once it has something to show.
//
// A run whose cache is current hands over to its agent within tens of milliseconds: a window
// would flash by unread, and GTK alone takes longer to load. So the `Download` object gets
// stand-ins that keep every call until the window is first asked to draw or the delay given to
// `drawAfter` has passed; the loaded window then gets the kept calls in order, and later calls
// directly. A window closed before it was loaded is never loaded: closing it only tells its
// delegate. Main thread only; the loader runs inside the call that needed the window.
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
  // it is closed.
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

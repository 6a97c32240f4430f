// The download window's controls, as the `Download` object drives them: they hold what the window
// shows, and the window control draws it (download_window.h) when its views need display, on a
// window it loads only then, as a run whose cache is current hands over within tens of
// milliseconds, where a window would flash by unread. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "download_app/download_window.h"
#include "host/loop_timer.h"

namespace download_app {

enum class TextColor { Standard, Red };

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The window is about to close, for whatever reason.
  virtual void windowWillClose() = 0;
};

// What the controls hold: everything the window shows.
struct ControlState {
  Progress bar;
  Status status;
  TextColor color = TextColor::Standard;
  std::optional<Image> image;
  std::function<void()> action;  // the button's
};

// Each control is a view of the part of the state it sets.
struct ProgressBar {
  void setDoubleValue(double value) {
    bar.value = value;
    bar.countsBytes = false;
  }
  void setMaxValue(double value) { bar.maximum = value; }
  double maxValue() const { return bar.maximum; }
  // An indeterminate bar moves while it is one, on the window's own loop, and counts its bytes
  // afresh; its animation starts and stops with it, whatever the animation calls say.
  void setIndeterminate(bool indeterminate) {
    if (indeterminate && !bar.indeterminate) bar.countsBytes = false;
    bar.indeterminate = indeterminate;
  }
  void setUsesThreadedAnimation(bool) {}
  void startAnimation() {}
  void stopAnimation() {}
  void incrementBy(double delta) {
    bar.value += delta;
    bar.countsBytes = true;
  }

  Progress& bar;
};

// The one-line status text.
struct StatusText {
  void setUsesSingleLineMode(bool) {}  // every window draws it as one line
  void setStringValue(const std::string& text) { state.status.text = text; }
  void setTextColor(TextColor color) { state.color = color; }

  ControlState& state;
};

struct Button {
  void setTitle(const std::string& title) { state.status.button = title; }
  void setEnabled(bool enabled) { state.status.buttonEnabled = enabled; }
  void setAction(std::function<void()> action) { state.action = std::move(action); }
  // Return presses the button in every window that has one (the GTK window's file makes it the
  // default); no other key is asked for.
  void setKeyEquivalent(const std::string&) {}

  ControlState& state;
};

struct ImageView {
  // An image is always fitted with its proportions kept, and never edited.
  void setScalesProportionally(bool) {}
  void setEditable(bool) {}
  // The splash a window is made with: the download sets it before anything is drawn.
  void setImage(const Image& image) { state.image = image; }

  ControlState& state;
};

// Makes the window that draws the controls, reporting to `events`; nothing when it cannot.
using WindowLoader = std::function<std::unique_ptr<DownloadWindow>(
    const std::optional<Image>& splash, WindowEvents& events)>;

class Window : private WindowEvents {
 public:
  // `load` makes the window when there is first something to draw; where it makes none, or the
  // window it made is lost, `fallback` makes one (the terminal window).
  Window(ControlState& state, WindowLoader load, WindowLoader fallback)
      : state_(state), load_(std::move(load)), fallback_(std::move(fallback)) {}

  void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }
  // Tells the delegate, then takes the window off the screen; one not loaded yet never will be.
  // Later calls do nothing.
  void close();
  // A window not loaded yet counts as visible until it is closed.
  bool isVisible() const { return !closed_; }
  // Off the screen until its views next need display; a window not loaded yet stays so.
  void hide();
  // The window lays itself out as it draws.
  void layoutIfNeeded() {}
  // Draws what changed, loading the window first when it is not. A window that no user can
  // close then closes after a failure.
  void setViewsNeedDisplay(bool needed);
  // Draws the window, loading it, once `delay` has passed on the application loop, unless it
  // has been loaded, hidden or closed by then.
  void drawAfter(std::chrono::milliseconds delay);

 private:
  void pressed() override;
  void closed() override { close(); }
  void lost(const WindowStatus& cause) override;
  void draw();
  static gboolean drawOnce(gpointer self);

  ControlState& state_;
  WindowLoader load_;
  WindowLoader fallback_;
  std::unique_ptr<DownloadWindow> window_;  // once loaded
  WindowDelegate* delegate_ = nullptr;
  bool closed_ = false;
  // What the loaded window shows; nothing while it is hidden or must be drawn whole.
  std::optional<Progress> drawnBar_;
  std::optional<std::pair<Status, TextColor>> drawnStatus_;
  host::LoopTimer delay_;
};

}  // namespace download_app

// The download window's controls, as the `Download` object drives them. They hold what the
// window shows; the window control draws it when its views need display, through the calls of
// download_window.h, on a window it loads only then: a run whose cache is current hands over
// within tens of milliseconds, where a window would flash by unread (and GTK alone takes longer
// to load). A window closed before it was loaded is never loaded. Main thread only.
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

class ProgressBar {
 public:
  explicit ProgressBar(ControlState& state) : bar_(state.bar) {}
  void setDoubleValue(double value) {
    bar_.value = value;
    bar_.countsBytes = false;
  }
  void setMaxValue(double value) { bar_.maximum = value; }
  double maxValue() const { return bar_.maximum; }
  // An indeterminate bar moves while it is one, on the window's own loop, and counts its bytes
  // afresh; its animation starts and stops with it, whatever the animation calls say.
  void setIndeterminate(bool indeterminate) {
    if (indeterminate && !bar_.indeterminate) bar_.countsBytes = false;
    bar_.indeterminate = indeterminate;
  }
  void setUsesThreadedAnimation(bool) {}
  void startAnimation() {}
  void stopAnimation() {}
  void incrementBy(double delta) {
    bar_.value += delta;
    bar_.countsBytes = true;
  }

 private:
  Progress& bar_;
};

// The one-line status text.
class StatusText {
 public:
  explicit StatusText(ControlState& state) : state_(state) {}
  void setUsesSingleLineMode(bool) {}  // every window draws it as one line
  void setStringValue(const std::string& text) { state_.status.text = text; }
  void setTextColor(TextColor color) { state_.color = color; }

 private:
  ControlState& state_;
};

class Button {
 public:
  explicit Button(ControlState& state) : state_(state) {}
  void setTitle(const std::string& title) { state_.status.button = title; }
  void setEnabled(bool enabled) { state_.status.buttonEnabled = enabled; }
  void setAction(std::function<void()> action) { state_.action = std::move(action); }
  // Return presses the button in every window that has one (the GTK window's file makes it the
  // default); no other key is asked for.
  void setKeyEquivalent(const std::string&) {}

 private:
  ControlState& state_;
};

class ImageView {
 public:
  explicit ImageView(ControlState& state) : state_(state) {}
  // An image is always fitted with its proportions kept, and never edited.
  void setScalesProportionally(bool) {}
  void setEditable(bool) {}
  // The splash a window is made with: the download sets it before anything is drawn.
  void setImage(const Image& image) { state_.image = image; }

 private:
  ControlState& state_;
};

// Makes the window that draws the controls, reporting to `events`; nothing when it cannot.
using WindowLoader = std::function<std::unique_ptr<DownloadWindow>(
    const std::optional<Image>& splash, WindowEvents& events)>;

class Window : private WindowEvents {
 public:
  // `load` makes the window when there is first something to draw; where it makes none, or the
  // window it made is lost, `fallback` makes one (the terminal window).
  Window(ControlState& state, WindowLoader load, WindowLoader fallback);
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }
  // Tells the delegate, then takes the window off the screen. Later calls do nothing.
  void close();
  // A window not loaded yet counts as visible until it is closed.
  bool isVisible() const { return !closed_; }
  // Off the screen until its views next need display; a window not loaded yet stays so.
  void hide();
  // The window lays itself out as it draws.
  void layoutIfNeeded() {}
  // Draws what changed, loading the window first when it is not.
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
  bool hidden_ = false;  // nothing shown until the views next need display
  // What the loaded window shows; nothing once it must be drawn whole.
  std::optional<Progress> drawnBar_;
  std::optional<std::pair<Status, TextColor>> drawnStatus_;
  host::LoopTimer delay_;
};

// A window and its controls; each keeps its address for as long as they live.
struct WindowControls {
  WindowControls(WindowLoader load, WindowLoader fallback)
      : window(state, std::move(load), std::move(fallback)),
        progress(state),
        status(state),
        button(state),
        image(state) {}
  WindowControls(const WindowControls&) = delete;
  WindowControls& operator=(const WindowControls&) = delete;

  ControlState state;
  Window window;
  ProgressBar progress;
  StatusText status;
  Button button;
  ImageView image;
};

}  // namespace download_app

// The download window's controls, as the `Download` object drives them. Each control turns its
// calls into messages (window_messages.h) for the window that draws it, a `WindowCalls`: the GTK
// window on a desktop, in this process or in the portable installer's window helper; a one-line
// window on the terminal; and stand-ins until one of them is loaded (deferred_window.h). Main
// thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "download_app/translation.h"  // formatByteCount, for both windows
#include "download_app/window_messages.h"

namespace download_app {

enum class TextColor { Standard, Red };

// An image from the bundle's resources, fitted into a size in points, its proportions kept.
struct Image {
  std::string path;
  double width = 0;
  double height = 0;
};

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The window is about to close, for whatever reason.
  virtual void windowWillClose() = 0;
};

// A window as its controls see it: it takes their calls as messages, but for those that carry
// what no message can (the action, the delegate) and those that answer.
class WindowCalls {
 public:
  virtual ~WindowCalls() = default;
  virtual void call(const WindowMessage& message) = 0;
  // Runs `action` when the button is pressed; a window without a button ignores it.
  virtual void setAction(std::function<void()>) {}
  virtual void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }
  // Tells the delegate, then takes the window off the screen. Later calls do nothing.
  virtual void close() = 0;
  virtual bool isVisible() const { return !closed_; }

 protected:
  // Marks the window closed and tells the delegate; false when it was already.
  bool markClosed() {
    if (closed_) return false;
    closed_ = true;
    if (delegate_ != nullptr) delegate_->windowWillClose();
    return true;
  }
  bool closed() const { return closed_; }

 private:
  WindowDelegate* delegate_ = nullptr;
  bool closed_ = false;
};

class Control {
 public:
  explicit Control(std::shared_ptr<WindowCalls> calls) : calls_(std::move(calls)) {}

 protected:
  using K = WindowMessageKind;
  void send(K kind, double number = 0, const std::string& text = {}) {
    calls_->call({kind, number, 0, text});
  }

  std::shared_ptr<WindowCalls> calls_;
};

class ProgressBar : public Control {
 public:
  using Control::Control;
  void setDoubleValue(double value) { send(K::SetDoubleValue, value); }
  void setMaxValue(double value) {
    max_ = value;
    send(K::SetMaxValue, value);
  }
  double maxValue() const { return max_; }
  // An indeterminate bar moves while it is one: its animation starts and stops with it, on
  // the window's own loop, whatever these say.
  void setIndeterminate(bool indeterminate) { send(K::SetIndeterminate, indeterminate); }
  void setUsesThreadedAnimation(bool) {}
  void startAnimation() {}
  void stopAnimation() {}
  void incrementBy(double delta) { send(K::IncrementBy, delta); }

 private:
  double max_ = 100;  // the last maximum set
};

// The one-line status text.
class StatusText : public Control {
 public:
  using Control::Control;
  void setUsesSingleLineMode(bool) {}  // every window draws it as one line
  void setStringValue(const std::string& text) { send(K::SetStringValue, 0, text); }
  void setTextColor(TextColor color) { send(K::SetTextColor, color == TextColor::Red); }
};

class Button : public Control {
 public:
  using Control::Control;
  void setTitle(const std::string& title) { send(K::SetTitle, 0, title); }
  void setEnabled(bool enabled) { send(K::SetEnabled, enabled); }
  void setAction(std::function<void()> action) { calls_->setAction(std::move(action)); }
  // Return presses the button in every window that has one (the GTK window's file makes it the
  // default); no other key is asked for.
  void setKeyEquivalent(const std::string&) {}
};

class ImageView : public Control {
 public:
  using Control::Control;
  // An image is always fitted with its proportions kept, and never edited.
  void setScalesProportionally(bool) {}
  void setEditable(bool) {}
  void setImage(const Image& image) {
    calls_->call({K::SetImage, image.width, image.height, image.path});
  }
};

class Window : public Control {
 public:
  using Control::Control;
  void setDelegate(WindowDelegate* delegate) { calls_->setDelegate(delegate); }
  void close() {
    std::shared_ptr<WindowCalls> calls = calls_;  // the delegate may let go of this window
    calls->close();
  }
  bool isVisible() const { return calls_->isVisible(); }
  // Lays the window out again and draws what changed.
  void redraw() { send(K::Redraw); }
  // Takes the window off the screen until its next redraw.
  void hide() { send(K::Hide); }
  // The window lays itself out as it draws.
  void layoutIfNeeded() {}
  void setViewsNeedDisplay(bool needed) {
    if (needed) redraw();
  }
};

// A window and its controls; each control keeps its address when they move.
struct WindowControls {
  explicit WindowControls(std::shared_ptr<WindowCalls> drawnBy)
      : calls(std::move(drawnBy)),
        window(std::make_unique<Window>(calls)),
        progress(std::make_unique<ProgressBar>(calls)),
        status(std::make_unique<StatusText>(calls)),
        button(std::make_unique<Button>(calls)),
        image(std::make_unique<ImageView>(calls)) {}

  std::shared_ptr<WindowCalls> calls;
  std::unique_ptr<Window> window;
  std::unique_ptr<ProgressBar> progress;
  std::unique_ptr<StatusText> status;
  std::unique_ptr<Button> button;
  std::unique_ptr<ImageView> image;
  // A window no user can close (the terminal) closes itself right after showing a failure.
  bool closesAfterFailure = false;
};

// The one-line window drawn on standard error.
WindowControls makeTerminalWindow();

// The desktop window; nothing when no display can be opened.
std::optional<WindowControls> makeDesktopWindow();

}  // namespace download_app

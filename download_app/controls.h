// The download window's controls, as the `Download` object drives them: a GTK window on a
// desktop, a one-line window on the terminal. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download_app/translation.h"  // formatByteCount, for both windows

namespace download_app {

enum class TextColor { Standard, Red };

class ProgressBar {
 public:
  virtual ~ProgressBar() = default;
  virtual void setDoubleValue(double value) = 0;
  virtual void setMaxValue(double value) = 0;
  virtual double maxValue() const = 0;
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual void setUsesThreadedAnimation(bool threaded) = 0;
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;
  virtual void incrementBy(double delta) = 0;
};

// The one-line status text.
class StatusText {
 public:
  virtual ~StatusText() = default;
  virtual void setUsesSingleLineMode(bool singleLine) = 0;
  virtual void setStringValue(const std::string& text) = 0;
  virtual void setTextColor(TextColor color) = 0;
};

class Button {
 public:
  virtual ~Button() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual void setKeyEquivalent(const std::string& key) = 0;  // "\r": Return presses it
  virtual void setAction(std::function<void()> action) = 0;   // run when pressed
};

// An image from the bundle's resources, drawn at a size in points.
struct Image {
  std::string path;
  double width = 0;
  double height = 0;
};

class ImageView {
 public:
  virtual ~ImageView() = default;
  virtual void setScalesProportionally(bool proportionally) = 0;
  virtual void setEditable(bool editable) = 0;
  virtual void setImage(const Image& image) = 0;
};

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The window is about to close, for whatever reason.
  virtual void windowWillClose() = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setDelegate(WindowDelegate* delegate) = 0;
  // Tells the delegate, then takes the window off the screen. Later calls do nothing.
  virtual void close() = 0;
  virtual bool isVisible() const = 0;
  virtual void layoutIfNeeded() = 0;
  virtual void setViewsNeedDisplay(bool needed) = 0;
};

// The window and its controls, as one interface file makes them.
struct WindowControls {
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

// The desktop window; nothing when no display is named or none can be opened.
std::optional<WindowControls> makeDesktopWindow();

}  // namespace download_app

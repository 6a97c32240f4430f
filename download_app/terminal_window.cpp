#include "download_app/terminal_window.h"

#include <glib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "host/files.h"
#include "host/loop_timer.h"

namespace download_app {

namespace {

constexpr int kBarWidth = 24;
constexpr guint kAnimationIntervalMs = 120;
constexpr char kEraseLine[] = "\r\033[K";
constexpr char kRed[] = "\033[31m";
constexpr char kReset[] = "\033[0m";

// Everything the terminal window shows; the controls are views onto it, and set what it
// shows directly.
class Screen {
 public:
  Screen(int fd, bool isTerminal) : fd_(fd), isTerminal_(isTerminal) {
    if (isTerminal_) timer_.start(kAnimationIntervalMs, &Screen::onTick, this);
  }

  std::string text;
  TextColor color = TextColor::Standard;
  double value = 0;
  double max = 100;
  bool indeterminate = false;
  WindowDelegate* delegate = nullptr;

  bool visible() const { return !closed_; }
  void close() {
    if (closed_) return;
    closed_ = true;
    if (delegate) delegate->windowWillClose();
    timer_.stop();
    eraseLine();
  }

  // Draws what changed: a new failure on a line of its own, otherwise the progress line.
  void render() {
    if (closed_) return;
    if (color == TextColor::Red) {
      if (text == shownFailure_) return;
      shownFailure_ = text;
      eraseLine();
      host::writeAll(fd_, isTerminal_ ? kRed + text + kReset + "\n" : text + "\n");
      return;
    }
    shownFailure_.clear();
    if (!isTerminal_) return;
    std::string line = fitToWidth(progressLine());
    if (lineShown_ && line == shownLine_) return;
    host::writeAll(fd_, kEraseLine + line);
    shownLine_ = line;
    lineShown_ = true;
  }

 private:
  static gboolean onTick(gpointer data) {
    auto* screen = static_cast<Screen*>(data);
    if (screen->indeterminate) ++screen->phase_;
    screen->render();
    return G_SOURCE_CONTINUE;
  }

  void eraseLine() {
    if (!lineShown_) return;
    host::writeAll(fd_, kEraseLine);
    lineShown_ = false;
  }

  std::string progressLine() const {
    std::string bar(kBarWidth, ' ');
    if (indeterminate) {
      // A small block that travels back and forth.
      const int block = 3;
      int span = kBarWidth - block;
      int step = static_cast<int>(phase_ % static_cast<unsigned>(2 * span));
      int at = step <= span ? step : 2 * span - step;
      for (int i = 0; i < block; ++i) bar[at + i] = '=';
    } else if (max > 0) {
      double fraction = std::fmin(1.0, std::fmax(0.0, value / max));
      int filled = static_cast<int>(std::lround(fraction * kBarWidth));
      for (int i = 0; i < filled; ++i) bar[i] = '=';
    }
    std::string line = text + " [" + bar + "]";
    if (value > 0) {
      line += " " + formatByteCount(static_cast<int64_t>(value));
      if (!indeterminate) line += " / " + formatByteCount(static_cast<int64_t>(max));
    }
    return line;
  }

  // One line may not wrap, or the next redraw would not replace it. It is cut between
  // characters, not inside one ("…" takes three bytes and one column).
  std::string fitToWidth(const std::string& line) const {
    struct winsize size {};
    glong columns = 80;
    if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) columns = size.ws_col;
    if (!g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr))
      return line.substr(0, std::min(line.size(), static_cast<size_t>(columns - 1)));
    if (g_utf8_strlen(line.c_str(), -1) < columns) return line;
    const gchar* cut = g_utf8_offset_to_pointer(line.c_str(), columns - 1);
    return line.substr(0, static_cast<size_t>(cut - line.c_str()));
  }

  int fd_;
  bool isTerminal_;
  std::string shownFailure_;
  unsigned phase_ = 0;
  bool closed_ = false;
  bool lineShown_ = false;
  std::string shownLine_;  // the progress line on screen, when `lineShown_`
  host::LoopTimer timer_;
};

class TerminalProgressBar : public ProgressBar {
 public:
  explicit TerminalProgressBar(std::shared_ptr<Screen> screen) : screen_(std::move(screen)) {}
  void setDoubleValue(double value) override { screen_->value = value; }
  void setMaxValue(double value) override { screen_->max = value; }
  double maxValue() const override { return screen_->max; }
  void setIndeterminate(bool indeterminate) override { screen_->indeterminate = indeterminate; }
  void setUsesThreadedAnimation(bool) override {}
  // An indeterminate bar always moves on the terminal; a determinate one shows its value.
  void startAnimation() override {}
  void stopAnimation() override {}
  void incrementBy(double delta) override { screen_->value += delta; }

 private:
  std::shared_ptr<Screen> screen_;
};

class TerminalStatusText : public StatusText {
 public:
  explicit TerminalStatusText(std::shared_ptr<Screen> screen) : screen_(std::move(screen)) {}
  void setUsesSingleLineMode(bool) override {}
  void setStringValue(const std::string& text) override { screen_->text = text; }
  void setTextColor(TextColor color) override {
    screen_->color = color;
    screen_->render();
  }

 private:
  std::shared_ptr<Screen> screen_;
};

// Nobody can press a button on the terminal; Ctrl-C closes the window instead.
class TerminalButton : public Button {
 public:
  void setTitle(const std::string&) override {}
  void setEnabled(bool) override {}
  void setKeyEquivalent(const std::string&) override {}
  void setAction(std::function<void()>) override {}
};

class TerminalImageView : public ImageView {
 public:
  void setScalesProportionally(bool) override {}
  void setEditable(bool) override {}
  void setImage(const Image&) override {}
};

class TerminalWindow : public Window {
 public:
  explicit TerminalWindow(std::shared_ptr<Screen> screen) : screen_(std::move(screen)) {}
  void setDelegate(WindowDelegate* delegate) override { screen_->delegate = delegate; }
  void close() override { screen_->close(); }
  bool isVisible() const override { return screen_->visible(); }
  void layoutIfNeeded() override { screen_->render(); }
  void setViewsNeedDisplay(bool needed) override {
    if (needed) screen_->render();
  }

 private:
  std::shared_ptr<Screen> screen_;
};

}  // namespace

WindowControls makeTerminalWindowOn(int fd, bool isTerminal) {
  auto screen = std::make_shared<Screen>(fd, isTerminal);
  WindowControls controls;
  controls.window = std::make_unique<TerminalWindow>(screen);
  controls.progress = std::make_unique<TerminalProgressBar>(screen);
  controls.status = std::make_unique<TerminalStatusText>(screen);
  controls.button = std::make_unique<TerminalButton>();
  controls.image = std::make_unique<TerminalImageView>();
  controls.closesAfterFailure = true;
  return controls;
}

WindowControls makeTerminalWindow() {
  return makeTerminalWindowOn(STDERR_FILENO, isatty(STDERR_FILENO) == 1);
}

}  // namespace download_app

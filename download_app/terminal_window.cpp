#include "download_app/terminal_window.h"

#include <glib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <optional>

#include "download_app/translation.h"  // formatByteCount
#include "host/files.h"
#include "host/loop_timer.h"

namespace download_app {

namespace {

constexpr int kBarWidth = 24;
constexpr guint kAnimationIntervalMs = 120;
constexpr char kEraseLine[] = "\r\033[K";
constexpr char kRed[] = "\033[31m";
constexpr char kReset[] = "\033[0m";

// Everything the terminal window shows, as its calls leave it. An indeterminate bar always
// moves there.
class Screen : public DownloadWindow {
 public:
  Screen(int fd, bool isTerminal) : fd_(fd), isTerminal_(isTerminal) {
    if (isTerminal_) timer_.start(kAnimationIntervalMs, &Screen::onTick, this);
  }

  void progress(const Progress& bar) override {
    bar_ = bar;
    show(text_, failed_);
  }
  void status(const Status& status) override { show(status.text, false); }
  void failure(const Status& status) override { show(status.text, true); }
  void hide() override {
    hidden_ = true;
    eraseLine();
  }
  void close() override {
    closed_ = true;
    timer_.stop();
    eraseLine();
  }
  bool closesAfterFailure() const override { return true; }

 private:
  void show(const std::string& text, bool failed) {
    text_ = text;
    failed_ = failed;
    hidden_ = false;
    render();
  }

  // Draws what changed: a new failure on a line of its own, otherwise the progress line.
  void render() {
    if (closed_) return;
    if (failed_) {
      if (text_ == shownFailure_) return;
      shownFailure_ = text_;
      eraseLine();
      host::writeAll(fd_, isTerminal_ ? kRed + text_ + kReset + "\n" : text_ + "\n");
      return;
    }
    shownFailure_.clear();
    if (!isTerminal_ || hidden_) return;
    std::string line = fitToWidth(progressLine());
    if (line == shownLine_) return;
    host::writeAll(fd_, kEraseLine + line);
    shownLine_ = line;
  }

  static gboolean onTick(gpointer data) {
    auto* screen = static_cast<Screen*>(data);
    if (screen->bar_.indeterminate) ++screen->phase_;
    screen->render();
    return G_SOURCE_CONTINUE;
  }

  void eraseLine() {
    if (!shownLine_) return;
    host::writeAll(fd_, kEraseLine);
    shownLine_.reset();
  }

  std::string progressLine() const {
    std::string bar(kBarWidth, ' ');
    const double value = bar_.value, max = bar_.maximum;
    if (bar_.indeterminate) {
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
    std::string line = text_ + " [" + bar + "]";
    if (value > 0) {
      line += " " + formatByteCount(static_cast<int64_t>(value));
      if (!bar_.indeterminate) line += " / " + formatByteCount(static_cast<int64_t>(max));
    }
    return line;
  }

  // One line may not wrap, or the next redraw would not replace it. It is cut between
  // characters, not inside one ("…" takes three bytes and one column, "下" two columns).
  std::string fitToWidth(const std::string& line) const {
    struct winsize size {};
    glong columns = 80;
    if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    if (!g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr))
      return line.substr(0, static_cast<size_t>(columns - 1));
    glong used = 0;
    for (const gchar* at = line.c_str(); *at != '\0'; at = g_utf8_next_char(at)) {
      gunichar c = g_utf8_get_char(at);
      used += g_unichar_iszerowidth(c) ? 0 : g_unichar_iswide(c) ? 2 : 1;
      if (used >= columns) return line.substr(0, static_cast<size_t>(at - line.c_str()));
    }
    return line;
  }

  int fd_;
  bool isTerminal_;
  std::string text_;
  bool failed_ = false;  // the text is a failure, in red
  Progress bar_;
  bool hidden_ = false;  // no progress line until the next call that draws
  bool closed_ = false;
  std::string shownFailure_;
  unsigned phase_ = 0;
  std::optional<std::string> shownLine_;  // the progress line on screen
  host::LoopTimer timer_;
};

}  // namespace

std::unique_ptr<DownloadWindow> makeTerminalWindow(int fd, bool isTerminal) {
  return std::make_unique<Screen>(fd, isTerminal);
}

std::unique_ptr<DownloadWindow> makeTerminalWindow() {
  return makeTerminalWindow(STDERR_FILENO, host::isTerminal(STDERR_FILENO));
}

}  // namespace download_app

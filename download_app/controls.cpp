#include "download_app/controls.h"

#include "download_app/failures.h"
#include "host/application.h"
#include "host/system_log.h"

namespace download_app {

void Window::close() {
  if (closed_) return;
  closed_ = true;
  delay_.stop();
  if (delegate_ != nullptr) delegate_->windowWillClose();
  if (window_) window_->close();
}

void Window::hide() {
  delay_.stop();
  drawnBar_.reset();
  drawnStatus_.reset();
  if (window_) window_->hide();
}

void Window::setViewsNeedDisplay(bool needed) {
  if (!needed || closed_) return;
  if (!window_) {
    delay_.stop();
    window_ = load_(state_.image, *this);
    if (!window_) window_ = fallback_(state_.image, *this);
  }
  draw();
}

void Window::drawAfter(std::chrono::milliseconds delay) {
  if (window_ || closed_) return;
  delay_.start(static_cast<unsigned>(delay.count()), drawOnce, this);
}

gboolean Window::drawOnce(gpointer self) {
  auto* window = static_cast<Window*>(self);
  window->delay_.stop();
  window->setViewsNeedDisplay(true);
  return G_SOURCE_REMOVE;
}

void Window::draw() {
  std::pair<Status, TextColor> status{state_.status, state_.color};
  if (drawnStatus_ != status) {
    drawnStatus_ = status;
    const bool failed = state_.color == TextColor::Red;
    if (failed) {
      window_->failure(state_.status);
    } else {
      window_->status(state_.status);
    }
    // A window no user can close closes after a failure, once the caller has drawn all it draws
    // on this turn of the loop.
    if (failed && window_->closesAfterFailure()) host::postToMain([this] { close(); });
  }
  if (drawnBar_ != state_.bar) {
    drawnBar_ = state_.bar;
    window_->progress(state_.bar);
  }
}

void Window::pressed() {
  std::function<void()> action = state_.action;  // it may replace itself
  if (action) action();
}

void Window::lost(const WindowStatus& cause) {
  if (closed_) return;
  host::systemLog("%s", windowGivenUpNote(cause).c_str());
  bool shown = drawnStatus_.has_value();  // drawn, and not hidden since
  window_ = fallback_(state_.image, *this);
  drawnBar_.reset();
  drawnStatus_.reset();
  if (shown) draw();  // a failure it showed closes this window as one shown here does
}

}  // namespace download_app

#include "download_app/deferred_window.h"

#include <optional>
#include <utility>
#include <vector>

#include "host/loop_timer.h"

namespace download_app {

using Call = std::function<void(WindowCalls&)>;

struct DeferredWindow::State : WindowCalls {
  explicit State(std::function<WindowControls()> loader) : load(std::move(loader)) {}

  // Makes `call` on the loaded window, or keeps it for the load. A window closed unloaded
  // keeps nothing: it is never loaded.
  void apply(Call call) {
    if (window) {
      call(*window->calls);
    } else if (!closed) {
      kept.push_back(std::move(call));
    }
  }

  void loadNow() {
    if (window || closed) return;
    delay.stop();
    window = load();
    for (Call& call : std::exchange(kept, {})) call(*window->calls);
  }

  void call(const WindowMessage& message) override {
    // Something to draw is what the window is loaded for.
    bool draws = message.kind == WindowMessageKind::LayoutIfNeeded ||
                 (message.kind == WindowMessageKind::SetViewsNeedDisplay && message.number != 0);
    if (draws) loadNow();
    apply([message](WindowCalls& loaded) { loaded.call(message); });
  }

  void setAction(std::function<void()> action) override {
    apply([action](WindowCalls& loaded) { loaded.setAction(action); });
  }

  void setDelegate(WindowDelegate* windowDelegate) override {
    delegate = windowDelegate;
    apply([windowDelegate](WindowCalls& loaded) { loaded.setDelegate(windowDelegate); });
  }

  void close() override {
    if (window) return window->calls->close();
    if (closed) return;
    closed = true;
    delay.stop();
    kept.clear();
    if (delegate != nullptr) delegate->windowWillClose();
  }

  bool isVisible() const override { return window ? window->calls->isVisible() : !closed; }

  std::function<WindowControls()> load;
  std::optional<WindowControls> window;  // once loaded
  std::vector<Call> kept;                // made before the load, in order
  bool closed = false;                   // closed before it was loaded
  WindowDelegate* delegate = nullptr;
  host::LoopTimer delay;
};

namespace {

gboolean drawOnce(gpointer data) {
  auto* window = static_cast<DeferredWindow*>(data);
  Window& standIn = *window->controls().window;
  standIn.layoutIfNeeded();  // loads it, which stops this timer
  standIn.setViewsNeedDisplay(true);
  return G_SOURCE_REMOVE;
}

}  // namespace

DeferredWindow::DeferredWindow(std::function<WindowControls()> load)
    : state_(std::make_shared<State>(std::move(load))), standIns_(state_) {}

DeferredWindow::~DeferredWindow() { state_->delay.stop(); }

void DeferredWindow::drawAfter(std::chrono::milliseconds delay) {
  if (state_->window || state_->closed) return;
  state_->delay.start(static_cast<unsigned>(delay.count()), drawOnce, this);
}

}  // namespace download_app

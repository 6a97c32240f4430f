#include "download_app/deferred_window.h"

#include <optional>
#include <utility>
#include <vector>

#include "host/loop_timer.h"

namespace download_app {

using Call = std::function<void(WindowCalls&)>;

struct DeferredWindow::State : WindowCalls {
  explicit State(std::function<WindowControls()> loader) : load(std::move(loader)) {}

  // Makes `call` on the loaded window, or keeps it for the load.
  void apply(Call call) {
    if (window) {
      call(*window->calls);
    } else if (!closed()) {
      kept.push_back(std::move(call));
    }
  }

  void loadNow() {
    if (window || closed()) return;
    delay.stop();
    window = load();
    for (Call& call : std::exchange(kept, {})) call(*window->calls);
  }

  void drawAfter(std::chrono::milliseconds after) {
    if (window || closed()) return;
    delay.start(static_cast<unsigned>(after.count()), drawOnce, this);
  }

  static gboolean drawOnce(gpointer self) {
    auto* state = static_cast<State*>(self);
    state->call({WindowMessageKind::Redraw, 0, 0, {}});  // loads it, which stops this timer
    return G_SOURCE_REMOVE;
  }

  void call(const WindowMessage& message) override {
    // Something to draw is what the window is loaded for; a hidden one waits for it.
    if (message.kind == WindowMessageKind::Redraw) loadNow();
    if (message.kind == WindowMessageKind::Hide) delay.stop();
    apply([message](WindowCalls& loaded) { loaded.call(message); });
  }

  void setAction(std::function<void()> action) override {
    apply([action](WindowCalls& loaded) { loaded.setAction(action); });
  }

  void setDelegate(WindowDelegate* delegate) override {
    WindowCalls::setDelegate(delegate);
    apply([delegate](WindowCalls& loaded) { loaded.setDelegate(delegate); });
  }

  void close() override {
    if (window) return window->calls->close();
    if (!markClosed()) return;
    delay.stop();
    kept.clear();
  }

  bool isVisible() const override { return window ? window->calls->isVisible() : !closed(); }

  std::function<WindowControls()> load;
  std::optional<WindowControls> window;  // once loaded
  std::vector<Call> kept;                // made before the load, in order
  host::LoopTimer delay;
};

DeferredWindow::DeferredWindow(std::function<WindowControls()> load)
    : state_(std::make_shared<State>(std::move(load))), standIns_(state_) {}

DeferredWindow::~DeferredWindow() { state_->delay.stop(); }

void DeferredWindow::drawAfter(std::chrono::milliseconds delay) { state_->drawAfter(delay); }

}  // namespace download_app

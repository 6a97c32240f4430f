#include "download_app/deferred_window.h"

#include <optional>
#include <utility>
#include <vector>

#include "host/loop_timer.h"

namespace download_app {

using Call = std::function<void(WindowControls&)>;

struct DeferredWindow::State {
  explicit State(std::function<WindowControls()> loader) : load(std::move(loader)) {}

  // Makes `call` on the loaded window, or keeps it for the load. A window closed unloaded
  // keeps nothing: it is never loaded.
  void apply(Call call) {
    if (window) {
      call(*window);
    } else if (!closed) {
      kept.push_back(std::move(call));
    }
  }

  void loadNow() {
    if (window || closed) return;
    delay.stop();
    window = load();
    for (Call& call : std::exchange(kept, {})) call(*window);
  }

  void closeUnloaded() {
    if (closed) return;
    closed = true;
    delay.stop();
    kept.clear();
    if (delegate != nullptr) delegate->windowWillClose();
  }

  std::function<WindowControls()> load;
  std::optional<WindowControls> window;  // once loaded
  std::vector<Call> kept;                // made before the load, in order
  bool closed = false;                   // closed before it was loaded
  WindowDelegate* delegate = nullptr;
  double maxValue = 100;
  host::LoopTimer delay;
};

namespace {

using State = DeferredWindow::State;

class StandIn {
 public:
  explicit StandIn(std::shared_ptr<State> state) : state_(std::move(state)) {}

 protected:
  void on(Call call) const { state_->apply(std::move(call)); }
  std::shared_ptr<State> state_;
};

class StandInProgressBar : public ProgressBar, StandIn {
 public:
  using StandIn::StandIn;
  void setDoubleValue(double value) override {
    on([value](WindowControls& w) { w.progress->setDoubleValue(value); });
  }
  void setMaxValue(double value) override {
    state_->maxValue = value;
    on([value](WindowControls& w) { w.progress->setMaxValue(value); });
  }
  double maxValue() const override {
    return state_->window ? state_->window->progress->maxValue() : state_->maxValue;
  }
  void setIndeterminate(bool indeterminate) override {
    on([indeterminate](WindowControls& w) { w.progress->setIndeterminate(indeterminate); });
  }
  void setUsesThreadedAnimation(bool threaded) override {
    on([threaded](WindowControls& w) { w.progress->setUsesThreadedAnimation(threaded); });
  }
  void startAnimation() override {
    on([](WindowControls& w) { w.progress->startAnimation(); });
  }
  void stopAnimation() override {
    on([](WindowControls& w) { w.progress->stopAnimation(); });
  }
  void incrementBy(double delta) override {
    on([delta](WindowControls& w) { w.progress->incrementBy(delta); });
  }
};

class StandInStatusText : public StatusText, StandIn {
 public:
  using StandIn::StandIn;
  void setUsesSingleLineMode(bool singleLine) override {
    on([singleLine](WindowControls& w) { w.status->setUsesSingleLineMode(singleLine); });
  }
  void setStringValue(const std::string& text) override {
    on([text](WindowControls& w) { w.status->setStringValue(text); });
  }
  void setTextColor(TextColor color) override {
    on([color](WindowControls& w) { w.status->setTextColor(color); });
  }
};

class StandInButton : public Button, StandIn {
 public:
  using StandIn::StandIn;
  void setTitle(const std::string& title) override {
    on([title](WindowControls& w) { w.button->setTitle(title); });
  }
  void setEnabled(bool enabled) override {
    on([enabled](WindowControls& w) { w.button->setEnabled(enabled); });
  }
  void setKeyEquivalent(const std::string& key) override {
    on([key](WindowControls& w) { w.button->setKeyEquivalent(key); });
  }
  void setAction(std::function<void()> action) override {
    on([action](WindowControls& w) { w.button->setAction(action); });
  }
};

class StandInImageView : public ImageView, StandIn {
 public:
  using StandIn::StandIn;
  void setScalesProportionally(bool proportionally) override {
    on([proportionally](WindowControls& w) { w.image->setScalesProportionally(proportionally); });
  }
  void setEditable(bool editable) override {
    on([editable](WindowControls& w) { w.image->setEditable(editable); });
  }
  void setImage(const Image& image) override {
    on([image](WindowControls& w) { w.image->setImage(image); });
  }
};

class StandInWindow : public Window, StandIn {
 public:
  using StandIn::StandIn;
  void setDelegate(WindowDelegate* delegate) override {
    state_->delegate = delegate;
    on([delegate](WindowControls& w) { w.window->setDelegate(delegate); });
  }
  void close() override {
    if (state_->window) return state_->window->window->close();
    state_->closeUnloaded();
  }
  bool isVisible() const override {
    return state_->window ? state_->window->window->isVisible() : !state_->closed;
  }
  // Something to draw is what the window is loaded for.
  void layoutIfNeeded() override {
    state_->loadNow();
    on([](WindowControls& w) { w.window->layoutIfNeeded(); });
  }
  void setViewsNeedDisplay(bool needed) override {
    if (needed) state_->loadNow();
    on([needed](WindowControls& w) { w.window->setViewsNeedDisplay(needed); });
  }
};

gboolean drawOnce(gpointer data) {
  auto* window = static_cast<DeferredWindow*>(data);
  Window& standIn = *window->controls().window;
  standIn.layoutIfNeeded();  // loads it, which stops this timer
  standIn.setViewsNeedDisplay(true);
  return G_SOURCE_REMOVE;
}

}  // namespace

DeferredWindow::DeferredWindow(std::function<WindowControls()> load)
    : state_(std::make_shared<State>(std::move(load))) {
  standIns_.window = std::make_unique<StandInWindow>(state_);
  standIns_.progress = std::make_unique<StandInProgressBar>(state_);
  standIns_.status = std::make_unique<StandInStatusText>(state_);
  standIns_.button = std::make_unique<StandInButton>(state_);
  standIns_.image = std::make_unique<StandInImageView>(state_);
}

DeferredWindow::~DeferredWindow() { state_->delay.stop(); }

void DeferredWindow::drawAfter(std::chrono::milliseconds delay) {
  if (state_->window || state_->closed) return;
  state_->delay.start(static_cast<unsigned>(delay.count()), drawOnce, this);
}

}  // namespace download_app

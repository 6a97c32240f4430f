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

// Hands each call to the loaded window's control `kControl`, or keeps it for the load.
template <typename Control, std::unique_ptr<Control> WindowControls::*kControl>
class StandIn : public Control {
 public:
  explicit StandIn(std::shared_ptr<State> state) : state_(std::move(state)) {}

 protected:
  template <typename... Parameters, typename... Arguments>
  void forward(void (Control::*method)(Parameters...), const Arguments&... arguments) {
    state_->apply([=](WindowControls& w) { ((w.*kControl).get()->*method)(arguments...); });
  }

  std::shared_ptr<State> state_;
};

class StandInProgressBar : public StandIn<ProgressBar, &WindowControls::progress> {
 public:
  using StandIn::StandIn;
  void setDoubleValue(double value) override { forward(&ProgressBar::setDoubleValue, value); }
  void setMaxValue(double value) override {
    state_->maxValue = value;
    forward(&ProgressBar::setMaxValue, value);
  }
  double maxValue() const override {
    return state_->window ? state_->window->progress->maxValue() : state_->maxValue;
  }
  void setIndeterminate(bool on) override { forward(&ProgressBar::setIndeterminate, on); }
  void setUsesThreadedAnimation(bool on) override {
    forward(&ProgressBar::setUsesThreadedAnimation, on);
  }
  void startAnimation() override { forward(&ProgressBar::startAnimation); }
  void stopAnimation() override { forward(&ProgressBar::stopAnimation); }
  void incrementBy(double delta) override { forward(&ProgressBar::incrementBy, delta); }
};

class StandInStatusText : public StandIn<StatusText, &WindowControls::status> {
 public:
  using StandIn::StandIn;
  void setUsesSingleLineMode(bool on) override { forward(&StatusText::setUsesSingleLineMode, on); }
  void setStringValue(const std::string& text) override {
    forward(&StatusText::setStringValue, text);
  }
  void setTextColor(TextColor color) override { forward(&StatusText::setTextColor, color); }
};

class StandInButton : public StandIn<Button, &WindowControls::button> {
 public:
  using StandIn::StandIn;
  void setTitle(const std::string& title) override { forward(&Button::setTitle, title); }
  void setEnabled(bool enabled) override { forward(&Button::setEnabled, enabled); }
  void setKeyEquivalent(const std::string& key) override {
    forward(&Button::setKeyEquivalent, key);
  }
  void setAction(std::function<void()> action) override { forward(&Button::setAction, action); }
};

class StandInImageView : public StandIn<ImageView, &WindowControls::image> {
 public:
  using StandIn::StandIn;
  void setScalesProportionally(bool on) override {
    forward(&ImageView::setScalesProportionally, on);
  }
  void setEditable(bool editable) override { forward(&ImageView::setEditable, editable); }
  void setImage(const Image& image) override { forward(&ImageView::setImage, image); }
};

class StandInWindow : public StandIn<Window, &WindowControls::window> {
 public:
  using StandIn::StandIn;
  void setDelegate(WindowDelegate* delegate) override {
    state_->delegate = delegate;
    forward(&Window::setDelegate, delegate);
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
    forward(&Window::layoutIfNeeded);
  }
  void setViewsNeedDisplay(bool needed) override {
    if (needed) state_->loadNow();
    forward(&Window::setViewsNeedDisplay, needed);
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

#include "download_app/main_interface.h"

#include <cstdlib>
#include <utility>

#include "download_app/terminal_window.h"
#include "download_app/translation.h"

namespace download_app {

std::optional<std::chrono::milliseconds> millisecondsFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || std::atoll(value) <= 0) return std::nullopt;
  return std::chrono::milliseconds(std::atoll(value));
}

MainInterface::MainInterface(WindowLoader load, WindowLoader fallback, DownloadRequest request)
    : download_(std::make_unique<Download>(std::move(request))),
      controls_(telling(std::move(load)), telling(std::move(fallback))) {
  Window* window = &controls_.window;
  download_->setProgress(&controls_.progress);
  download_->setImage(&controls_.image);
  download_->setDownloadPercent(&controls_.status);
  download_->setWindow(window);
  download_->setCancel(&controls_.button);
  window->setDelegate(download_.get());
  controls_.button.setTitle(translate("Cancel"));
  // A run that has not handed over ends only when the window closes.
  controls_.button.setAction([window] { window->close(); });
  download_->init();
}

MainInterface::~MainInterface() {
  download_->finishSession();
  controls_.button.setAction(nullptr);
  window().setDelegate(nullptr);
}

WindowLoader MainInterface::telling(WindowLoader load) {
  // Known only now, as a display that does not answer gives the terminal window. A failure
  // draws the window, and so loads it, before it asks.
  return [this, load = std::move(load)](const std::optional<Image>& splash, WindowEvents& events) {
    std::unique_ptr<DownloadWindow> window = load(splash, events);
    if (window) download_->setClosesAfterFailure(window->closesAfterFailure());
    return window;
  };
}

void MainInterface::applicationDidFinishLaunching() {
  download_->applicationDidFinishLaunching();
  window().drawAfter(millisecondsFromEnvironment("__VL_WINDOW_DELAY_MS__").value_or(kWindowDelay));
}

std::unique_ptr<MainInterface> loadMainInterface(DownloadRequest request) {
  return std::make_unique<MainInterface>(
      makeDesktopWindow, [](const std::optional<Image>&, WindowEvents&) { return makeTerminalWindow(); },
      std::move(request));
}

}  // namespace download_app

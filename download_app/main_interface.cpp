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
      window_(state_, std::move(load), std::move(fallback)) {
  download_->setProgress(&progress_);
  download_->setImage(&image_);
  download_->setDownloadPercent(&status_);
  download_->setWindow(&window_);
  download_->setCancel(&button_);
  window_.setDelegate(download_.get());
  button_.setTitle(translate("Cancel"));
  // A run that has not handed over ends only when the window closes.
  button_.setAction([this] { window_.close(); });
  download_->init();
}

MainInterface::~MainInterface() {
  download_->finishSession();
  button_.setAction(nullptr);
  window().setDelegate(nullptr);
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

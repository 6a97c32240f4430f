#include "download_app/main_interface.h"

#include <cstdlib>
#include <utility>

#include "download_app/translation.h"

namespace download_app {
namespace {

bool displayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return true;
  return false;
}

}  // namespace

std::optional<std::chrono::milliseconds> millisecondsFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || std::atoll(value) <= 0) return std::nullopt;
  return std::chrono::milliseconds(std::atoll(value));
}

MainInterface::MainInterface(std::function<WindowControls()> loadWindow, DownloadRequest request)
    : window_([this, loadWindow = std::move(loadWindow)] {
        WindowControls controls = loadWindow();
        // Known only now, as a display that cannot be opened gives the terminal window. A
        // failure draws the window, and so loads it, before it asks.
        download_->setClosesAfterFailure(controls.closesAfterFailure);
        return controls;
      }),
      download_(std::make_unique<Download>(std::move(request))) {
  WindowControls& controls = window_.controls();
  Window* window = controls.window.get();
  download_->setProgress(controls.progress.get());
  download_->setImage(controls.image.get());
  download_->setDownloadPercent(controls.status.get());
  download_->setWindow(window);
  download_->setCancel(controls.button.get());
  window->setDelegate(download_.get());
  controls.button->setTitle(translate("Cancel"));
  // A run that has not handed over ends only when the window closes.
  controls.button->setAction([window] { window->close(); });
  download_->init();
}

MainInterface::~MainInterface() {
  download_->finishSession();
  window_.controls().button->setAction(nullptr);
  window().setDelegate(nullptr);
  download_.reset();
}

void MainInterface::applicationDidFinishLaunching() {
  download_->applicationDidFinishLaunching();
  window_.drawAfter(millisecondsFromEnvironment("__VL_WINDOW_DELAY_MS__").value_or(kWindowDelay));
}

std::unique_ptr<MainInterface> loadMainInterface(DownloadRequest request) {
  return std::make_unique<MainInterface>(
      [] {
        std::optional<WindowControls> desktop;
        if (displayNamed()) desktop = makeDesktopWindow();
        return desktop ? std::move(*desktop) : makeTerminalWindow();
      },
      std::move(request));
}

}  // namespace download_app

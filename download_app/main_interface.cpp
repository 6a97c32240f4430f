#include "download_app/main_interface.h"

#include <utility>

#include "host/application.h"

namespace download_app {

MainInterface::MainInterface(WindowControls controls)
    : controls_(std::move(controls)), download_(std::make_unique<Download>()) {
  Window* window = controls_.window.get();
  download_->setProgress(controls_.progress.get());
  download_->setImage(controls_.image.get());
  download_->setDownloadPercent(controls_.status.get());
  download_->setWindow(window);
  download_->setCancel(controls_.button.get());
  download_->setClosesAfterFailure(controls_.closesAfterFailure);
  window->setDelegate(download_.get());
  controls_.button->setTitle("Cancel");
  // A run that has not handed over ends only when the window closes.
  controls_.button->setAction([window] { window->close(); });
  download_->init();
}

MainInterface::~MainInterface() {
  download_->finishSession();
  controls_.button->setAction(nullptr);
  controls_.window->setDelegate(nullptr);
  download_.reset();
}

std::unique_ptr<MainInterface> loadMainInterface() {
  std::optional<WindowControls> desktop = makeDesktopWindow();
  return std::make_unique<MainInterface>(desktop ? std::move(*desktop) : makeTerminalWindow());
}

int runMainInterface(MainInterface& ui) {
  host::runApplication([&ui] { ui.applicationDidFinishLaunching(); },
                       [&ui] { ui.closeRequested(); });
  if (ui.window().isVisible()) ui.window().close();
  ui.download().finishSession();
  return ui.download().handedOver() ? 1 : 0;
}

}  // namespace download_app

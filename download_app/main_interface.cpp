#include "download_app/main_interface.h"

#include <utility>

#include "download_app/translation.h"

namespace download_app {

MainInterface::MainInterface(WindowControls controls, DownloadRequest request)
    : controls_(std::move(controls)), download_(std::make_unique<Download>(std::move(request))) {
  Window* window = controls_.window.get();
  download_->setProgress(controls_.progress.get());
  download_->setImage(controls_.image.get());
  download_->setDownloadPercent(controls_.status.get());
  download_->setWindow(window);
  download_->setCancel(controls_.button.get());
  download_->setClosesAfterFailure(controls_.closesAfterFailure);
  window->setDelegate(download_.get());
  controls_.button->setTitle(translate("Cancel"));
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

std::unique_ptr<MainInterface> loadMainInterface(DownloadRequest request) {
  std::optional<WindowControls> desktop = makeDesktopWindow();
  return std::make_unique<MainInterface>(desktop ? std::move(*desktop) : makeTerminalWindow(),
                                         std::move(request));
}

}  // namespace download_app

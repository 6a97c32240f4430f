#include "download_app/main_interface.h"

#include <memory>

#include <gtest/gtest.h>

#include "tests/download_app/recording_controls.h"

namespace {

using testsupport::ControlLog;
using testsupport::makeRecordingControls;

// A loader of recording controls that counts its calls.
struct RecordingLoader {
  std::shared_ptr<ControlLog> log = std::make_shared<ControlLog>();
  int loads = 0;
  std::function<download_app::WindowControls()> loader() {
    return [this] {
      ++loads;
      return makeRecordingControls(log);
    };
  }
};

TEST(MainInterface, LoadsTheWindowToDrawItInItsFirstState) {
  RecordingLoader window;
  download_app::MainInterface ui(window.loader(),
                                 {"/tmp/vlABCDEF/InstallAgent.zip", "", "", {}, {}});
  download_app::Download& download = ui.download();
  EXPECT_EQ(download.installAgentLocation(), "/tmp/vlABCDEF/InstallAgent.zip");
  // Nothing to draw yet: no window.
  EXPECT_EQ(window.loads, 0);
  EXPECT_TRUE(ui.window().isVisible());

  ui.window().redraw();
  EXPECT_EQ(window.loads, 1);
  EXPECT_EQ(window.log->delegate, &download);
  // The first state, set before the load, in the order it was set: "Downloading" over a bar
  // from 0 to 100; the button is "Cancel". Then the drawing.
  EXPECT_EQ(window.log->calls, (std::vector<std::string>{
                                   "button.setTitle(Cancel)", "progress.setDoubleValue(0.000000)",
                                   "progress.setMaxValue(100.000000)",
                                   "status.setStringValue(Downloading)", "window.redraw()"}));
  EXPECT_EQ(window.log->color, download_app::TextColor::Standard);

  // Later calls go straight to the loaded window.
  download.failure("Download failed with error code 401", download_app::TextColor::Red);
  EXPECT_EQ(window.loads, 1);
  EXPECT_EQ(window.log->title, "Close");
  EXPECT_EQ(window.log->value, 100);
}

TEST(MainInterface, PressingTheButtonClosesTheWindow) {
  RecordingLoader window;
  download_app::MainInterface ui(window.loader(), {});
  ui.window().redraw();
  ASSERT_TRUE(window.log->action);
  window.log->action();
  EXPECT_FALSE(window.log->visible);
  EXPECT_EQ(window.log->closes, 1);
  EXPECT_FALSE(ui.download().handedOver());
  // A closed window hands over no agent.
  EXPECT_FALSE(ui.download().fireInstallAgent());
}

TEST(MainInterface, CloseRequestsCloseTheWindowWithoutLoadingIt) {
  RecordingLoader window;
  download_app::MainInterface ui(window.loader(), {});
  ui.closeRequested();
  ui.closeRequested();
  EXPECT_FALSE(ui.window().isVisible());
  // The redraw of a progress update that comes after an early Ctrl-C loads nothing either.
  ui.window().redraw();
  EXPECT_EQ(window.loads, 0);
  EXPECT_FALSE(ui.download().fireInstallAgent());  // the download knows it has closed
}

TEST(MainInterface, LetsGoOfTheControlsWhenItEnds) {
  RecordingLoader window;
  {
    download_app::MainInterface ui(window.loader(), {});
    ui.window().redraw();
    EXPECT_NE(window.log->delegate, nullptr);
  }
  EXPECT_EQ(window.log->delegate, nullptr);
  EXPECT_FALSE(window.log->action);
}

}  // namespace

#include "download_app/main_interface.h"

#include <memory>

#include <gtest/gtest.h>

#include "tests/download_app/recording_controls.h"

namespace {

using testsupport::ControlLog;
using testsupport::makeRecordingControls;

TEST(MainInterface, ConnectsTheControlsAndShowsTheFirstState) {
  auto log = std::make_shared<ControlLog>();
  download_app::MainInterface ui(makeRecordingControls(log, true),
                                 {"/tmp/vlABCDEF/InstallAgent.zip", "", "", {}, {}});
  download_app::Download& download = ui.download();

  EXPECT_EQ(log->delegate, &download);

  // The first state: "Downloading" over a bar from 0 to 100; the button is "Cancel" and
  // Return presses it.
  EXPECT_EQ(log->title, "Cancel");
  EXPECT_EQ(log->keyEquivalent, "\r");
  EXPECT_EQ(log->text, "Downloading");
  EXPECT_EQ(log->value, 0);
  EXPECT_EQ(log->max, 100);
  EXPECT_GE(log->indexOf("status.setUsesSingleLineMode(1)"), 0);
  EXPECT_GE(log->indexOf("progress.setUsesThreadedAnimation(1)"), 0);
  EXPECT_EQ(log->color, download_app::TextColor::Standard);

  EXPECT_EQ(download.installAgentLocation(), "/tmp/vlABCDEF/InstallAgent.zip");
}

TEST(MainInterface, PressingTheButtonClosesTheWindow) {
  auto log = std::make_shared<ControlLog>();
  download_app::MainInterface ui(makeRecordingControls(log), {});
  ASSERT_TRUE(log->action);
  log->action();
  EXPECT_FALSE(log->visible);
  EXPECT_EQ(log->closes, 1);
  EXPECT_FALSE(ui.download().handedOver());
  // A closed window hands over no agent.
  EXPECT_FALSE(ui.download().fireInstallAgent());
}

TEST(MainInterface, CloseRequestsCloseTheWindow) {
  auto log = std::make_shared<ControlLog>();
  download_app::MainInterface ui(makeRecordingControls(log), {});
  ui.closeRequested();
  ui.closeRequested();
  EXPECT_EQ(log->closes, 1);
}

TEST(MainInterface, LetsGoOfTheControlsWhenItEnds) {
  auto log = std::make_shared<ControlLog>();
  {
    download_app::MainInterface ui(makeRecordingControls(log), {});
    EXPECT_NE(log->delegate, nullptr);
  }
  EXPECT_EQ(log->delegate, nullptr);
  EXPECT_FALSE(log->action);
}

}  // namespace

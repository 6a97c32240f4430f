#include "download_app/main_interface.h"

#include <memory>

#include <gtest/gtest.h>

#include "host/application.h"
#include "tests/download_app/recording_window.h"

namespace {

using testsupport::recordingLoader;
using testsupport::WindowRecord;

struct Windows {
  std::shared_ptr<WindowRecord> desktop = std::make_shared<WindowRecord>();
  std::shared_ptr<WindowRecord> terminal = std::make_shared<WindowRecord>();
};

TEST(MainInterface, LoadsTheWindowToDrawItInItsFirstState) {
  Windows windows;
  download_app::MainInterface ui(recordingLoader(windows.desktop),
                                 recordingLoader(windows.terminal),
                                 {"/tmp/vlABCDEF/InstallAgent.zip", "", "", {}, {}});
  download_app::Download& download = ui.download();
  EXPECT_EQ(download.installAgentLocation(), "/tmp/vlABCDEF/InstallAgent.zip");
  // Nothing to draw yet: no window.
  EXPECT_EQ(windows.desktop->loads, 0);
  EXPECT_TRUE(ui.window().isVisible());

  // The first state, drawn whole: "Downloading" over a bar from 0 to 100; the button is
  // "Cancel".
  ui.window().setViewsNeedDisplay(true);
  EXPECT_EQ(windows.desktop->loads, 1);
  ASSERT_EQ(windows.desktop->calls.size(), 2u);
  EXPECT_EQ(windows.desktop->status, (download_app::Status{"Downloading", "Cancel", true}));
  EXPECT_EQ(windows.desktop->bar, download_app::Progress{});
  EXPECT_FALSE(windows.desktop->failed);
  // Drawn again, only what changed.
  ui.window().setViewsNeedDisplay(true);
  EXPECT_EQ(windows.desktop->calls.size(), 2u);

  download.failure("Download failed with error code 401", download_app::TextColor::Red);
  EXPECT_EQ(windows.desktop->loads, 1);
  EXPECT_TRUE(windows.desktop->failed);
  EXPECT_EQ(windows.desktop->status.button, "Close");
  EXPECT_EQ(windows.desktop->bar.value, 100);
  EXPECT_EQ(windows.terminal->loads, 0);
}

TEST(MainInterface, PressingTheButtonClosesTheWindow) {
  Windows windows;
  download_app::MainInterface ui(recordingLoader(windows.desktop),
                                 recordingLoader(windows.terminal), {});
  ui.window().setViewsNeedDisplay(true);
  ASSERT_NE(windows.desktop->events, nullptr);
  windows.desktop->events->pressed();
  EXPECT_FALSE(ui.window().isVisible());
  EXPECT_TRUE(windows.desktop->closed);
  EXPECT_FALSE(ui.download().handedOver());
  // A closed window hands over no agent.
  EXPECT_FALSE(ui.download().fireInstallAgent());
}

TEST(MainInterface, CloseRequestsCloseTheWindowWithoutLoadingIt) {
  Windows windows;
  download_app::MainInterface ui(recordingLoader(windows.desktop),
                                 recordingLoader(windows.terminal), {});
  ui.closeRequested();
  ui.closeRequested();
  EXPECT_FALSE(ui.window().isVisible());
  // The redraw of a progress update that comes after an early Ctrl-C loads nothing either.
  ui.window().setViewsNeedDisplay(true);
  EXPECT_EQ(windows.desktop->loads + windows.terminal->loads, 0);
  EXPECT_FALSE(ui.download().fireInstallAgent());  // the download knows it has closed
}

// A desktop window that cannot be made, or that is lost, leaves the run to the terminal window,
// which draws it whole; one lost after a failure closes as a failure there does.
TEST(MainInterface, TheTerminalWindowTakesOverAWindowThatIsLost) {
  Windows windows;
  download_app::MainInterface unmade(
      [](const std::optional<download_app::Image>&, download_app::WindowEvents&) {
        return std::unique_ptr<download_app::DownloadWindow>();
      },
      recordingLoader(windows.terminal, true), {});
  unmade.window().setViewsNeedDisplay(true);
  EXPECT_EQ(windows.terminal->loads, 1);
  EXPECT_EQ(windows.terminal->status.text, "Downloading");

  windows.terminal = std::make_shared<WindowRecord>();
  download_app::MainInterface ui(recordingLoader(windows.desktop),
                                 recordingLoader(windows.terminal, true), {});
  // On the loop, which the terminal window's close then stops.
  host::runApplication(
      [&] {
        ui.download().failure("Download failed with error code 401", download_app::TextColor::Red);
        windows.desktop->events->lost(download_app::WindowProblem::kHelperBehind);
      },
      nullptr);
  EXPECT_EQ(windows.terminal->loads, 1);
  EXPECT_TRUE(windows.terminal->failed);
  EXPECT_EQ(windows.terminal->status.text, "Download failed with error code 401");
  EXPECT_TRUE(windows.terminal->closed);
  EXPECT_FALSE(ui.window().isVisible());
}

}  // namespace

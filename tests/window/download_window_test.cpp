// The installer's desktop window as a user meets it: the built installer runs in a bundle
// against a loopback server, and the test finds its window with xdotool, looks at it through
// screenshots, presses its button and closes it. Every test leaves its pictures in
// "<build dir>/screenshots". Skipped without DISPLAY (CI runs this binary under xvfb-run).
#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "download_app/gtk_window.h"
#include "platform/constants.h"
#include "support/bundle_builder.h"
#include "support/desktop.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using namespace testsupport;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kTitle = download_app::kDownloadWindowTitle;
constexpr seconds kAppearTimeout{20};
// The splash, 800 x 600, fitted into 400 x 400 points: 400 x 300 pixels on a display of
// scale 1 (Xvfb's).
constexpr long kFittedSplashPixels = 400L * 300L;

std::string randomBytes(size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

std::string lastLine(const std::string& text) {
  std::vector<std::string> lines = splitLines(text);
  return lines.empty() ? "" : lines.back();
}

class DownloadWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no DISPLAY: the desktop window needs one";
    bundle = std::make_unique<BundleBuilder>(scratch.path(), "Setup");
    bundle->addBundleZip();
    ASSERT_TRUE(writeSplashPng(bundle->resourcesPath() + "/splash.png", 800, 600));
    bundle->setEndpointFile(server.url("/agent.zip") + "\n");
    home = scratch.makeDir("home");
    cacheDir = home + "/" + INSTALL_AGENT_CACHE_SUBPATH;
    options.setEnv = {{"HOME", home}, {"TMPDIR", scratch.makeDir("tmp")}};
    options.unsetEnv = {"VL_INTERNAL_INSTALL_AGENT_URL", "__VL_BOOTSTRAP_INSTALLER_UNITTEST__",
                        "WAYLAND_DISPLAY"};
    options.timeout = seconds(60);
  }

  std::unique_ptr<RunningProgram> startInstaller() {
    return startProgram(bundle->executablePath(), {"setup", "-mode", "gui test"}, options);
  }

  // An agent archive served with an entity tag, in small drips so the download takes a moment.
  void serveAgent(const AgentScript& agent, Reply reply = {}) {
    std::string archive = scratch.file("agent.zip");
    ASSERT_TRUE(makeAgentZip(archive, agent, {{"ballast.bin", randomBytes(384 * 1024)}}));
    reply.body = readFile(archive);
    reply.headers = {{"ETag", "\"v1\""}};
    reply.contentType = "application/zip";
    server.serve("/agent.zip", reply);
  }

  ScratchDir scratch;
  TestHttpServer server;
  std::unique_ptr<BundleBuilder> bundle;
  std::string home;
  std::string cacheDir;
  RunOptions options;
};

TEST_F(DownloadWindowTest, AppearsWithItsTitleAndTheSplashFitted) {
  Reply stalled;
  stalled.generatedSize = 1 << 20;
  stalled.headers = {{"ETag", "\"v1\""}};
  stalled.stallAfter = 64 * 1024;  // the window stays at "Downloading"
  server.serve("/agent.zip", stalled);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window titled " << kTitle;
  EXPECT_EQ(windowTitle(window), kTitle);

  long splash = waitForPixels(window, isSplashGreen, kFittedSplashPixels * 95 / 100, seconds(10));
  EXPECT_GE(splash, kFittedSplashPixels * 95 / 100);
  EXPECT_LE(splash, kFittedSplashPixels * 102 / 100);  // fitted, not stretched to 400 x 400
  EXPECT_EQ(countPixels(screenshot(window), isStatusRed), 0);

  ASSERT_TRUE(requestClose(window));
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  server.releaseStalls();
}

TEST_F(DownloadWindowTest, ADownloadCompletesAndTheAgentRuns) {
  // The agent says it has started, then waits for the test's word, so the test can look at
  // the screen while the agent runs.
  // It keeps the memory map of its parent, the installer, first.
  std::string started = scratch.file("agent-started");
  std::string go = scratch.file("agent-go");
  std::string maps = scratch.file("installer-maps");
  std::string glSetting = scratch.file("agent-gl-setting");
  AgentScript agent{scratch.file("agent-record"), 0,
                    "cat /proc/$PPID/maps > '" + maps + "'; echo \"${GDK_GL-unset}\" > '" +
                        glSetting + "'; touch '" + started + "'; i=0; while [ ! -e '" + go +
                        "' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done"};
  Reply reply;
  reply.dripBytes = 16 * 1024;
  reply.dripInterval = milliseconds(40);
  serveAgent(agent, reply);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window titled " << kTitle;
  screenshot(window, "downloading");

  ASSERT_TRUE(waitForFile(started, seconds(30))) << "the agent did not start";
  // Handed over: the window has left the screen while the agent still runs.
  EXPECT_TRUE(waitForWindowGone(run->pid(), kTitle, seconds(10)));
  writeFile(go, "");

  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  std::vector<AgentRun> runs = readAgentRuns(agent.recordPath);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, cacheDir + INSTALL_AGENT_DIR + "/install");
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle->resourcesPath() + "/bundle.zip",
                                      "-mode", "gui test"}));
  EXPECT_EQ(readFile(cacheDir + VALIDATION_STRING_FILE), "\"v1\"");
  EXPECT_EQ(server.hits("/agent.zip"), 1);
  // The window came from the module the installer carries, with GTK behind it but no GL
  // driver; the agent's environment is the installer's own.
  std::string map = readFile(maps);
  EXPECT_NE(map.find("/memfd:installer-desktop-window"), std::string::npos) << map;
  EXPECT_NE(map.find("libgtk-3.so"), std::string::npos) << map;
  EXPECT_EQ(map.find("_dri.so"), std::string::npos) << map;
  EXPECT_EQ(readFile(glSetting), "unset\n");
}

TEST_F(DownloadWindowTest, ACachedRunLoadsNoToolkitAndShowsNoWindow) {
  // The agent keeps the memory map of its parent, the installer, as it is at the hand-over.
  std::string maps = scratch.file("installer-maps");
  AgentScript agent{scratch.file("agent-record"), 0, "cat /proc/$PPID/maps > '" + maps + "'"};
  serveAgent(agent);
  // The first run, on a terminal, makes the cache current.
  RunOptions terminal = options;
  terminal.unsetEnv.push_back("DISPLAY");
  RunResult first = runProgram(bundle->executablePath(), {"setup"}, terminal);
  ASSERT_EQ(first.exitCode, 0) << first.describe();

  // However busy the machine, the decision comes before the window would.
  options.setEnv.push_back({"__VL_WINDOW_DELAY_MS__", "20000"});
  MappedWindows mapped;
  ASSERT_EQ(mapped.count(), 0);
  RunResult result = runProgram(bundle->executablePath(), {"setup"}, options);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(agent.recordPath).size(), 2u);
  EXPECT_EQ(server.hits("/agent.zip"), 2);
  std::string map = readFile(maps);
  ASSERT_NE(map.find("libcurl"), std::string::npos) << "not the installer's map:\n" << map;
  EXPECT_EQ(map.find("libgtk-3"), std::string::npos) << map;
  EXPECT_EQ(map.find("installer-desktop-window"), std::string::npos) << map;
  EXPECT_EQ(mapped.count(), 0) << "a window appeared on the screen";
}

TEST_F(DownloadWindowTest, ASlowFirstByteStillShowsTheWindow) {
  AgentScript agent{scratch.file("agent-record"), 0, ""};
  Reply silent;
  silent.stallBeforeAnswer = true;  // until the window is on the screen
  serveAgent(agent, silent);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window while the server was silent";
  EXPECT_EQ(server.hits("/agent.zip"), 1);
  EXPECT_GE(waitForPixels(window, isSplashGreen, kFittedSplashPixels * 95 / 100, seconds(10)),
            kFittedSplashPixels * 95 / 100);

  server.releaseStalls();
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(agent.recordPath).size(), 1u);
}

TEST_F(DownloadWindowTest, UnauthorizedShowsTheFailureAndCloseEndsWith255) {
  Reply denied;
  denied.status = 401;
  denied.body = "denied";
  server.serve("/agent.zip", denied);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window titled " << kTitle;
  // "Download failed with error code 401" in red, under the splash, over a full bar.
  EXPECT_GE(waitForPixels(window, isStatusRed, 100, seconds(10), "failed"), 100);
  EXPECT_GE(countPixels(screenshot(window, "failed"), isSplashGreen),
            kFittedSplashPixels * 95 / 100);

  // A failure does not end the run: the window waits for the user.
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(findWindow(run->pid(), kTitle, seconds(1)), window);

  ASSERT_TRUE(pressReturn(window));  // Return presses the button, now titled "Close"
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_TRUE(logged(result.err, "Download failed with http error code- 401")) << result.err;
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  EXPECT_TRUE(readAgentRuns(scratch.file("agent-record")).empty());
  EXPECT_FALSE(pathExists(cacheDir + INSTALL_AGENT_DIR + "/install"));
}

TEST_F(DownloadWindowTest, ClosingTheWindowMidDownloadEndsTheRunPromptly) {
  Reply stalled;
  stalled.generatedSize = 4 << 20;
  stalled.headers = {{"ETag", "\"v1\""}};
  stalled.stallAfter = 256 * 1024;  // then silence: only the close can end the run
  server.serve("/agent.zip", stalled);
  // Far below the session's own idle timeout, so only a cancelled download ends in time.
  options.timeout = seconds(20);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window titled " << kTitle;
  screenshot(window, "downloading");

  ASSERT_TRUE(requestClose(window));
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  EXPECT_TRUE(waitForWindowGone(run->pid(), kTitle, seconds(1)));
  EXPECT_FALSE(pathExists(cacheDir + INSTALL_AGENT_DIR + "/install"));
  EXPECT_FALSE(pathExists(cacheDir + VALIDATION_STRING_FILE));
  server.releaseStalls();
}

TEST_F(DownloadWindowTest, AWindowDestroyedFromOutsideEndsTheRun) {
  Reply stalled;
  stalled.generatedSize = 4 << 20;
  stalled.headers = {{"ETag", "\"v1\""}};
  stalled.stallAfter = 256 * 1024;
  server.serve("/agent.zip", stalled);
  options.timeout = seconds(20);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::string window = findWindow(run->pid(), kTitle, kAppearTimeout);
  ASSERT_FALSE(window.empty()) << "no window titled " << kTitle;

  ASSERT_TRUE(destroyWindow(window));
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  server.releaseStalls();
}

// Runs that name a display but cannot show the desktop window. They need no display of their
// own: the server refuses the download, and the terminal window, which closes itself after
// showing a failure, ends the run.
class DownloadWindowFallback : public ::testing::Test {
 protected:
  RunResult runWith(std::vector<std::pair<std::string, std::string>> environment) {
    Reply denied;
    denied.status = 401;
    server.serve("/agent.zip", denied);
    BundleBuilder bundle(scratch.path(), "Setup");
    bundle.addBundleZip();
    bundle.setEndpointFile(server.url("/agent.zip"));
    RunOptions options;
    options.setEnv = std::move(environment);
    options.setEnv.push_back({"HOME", scratch.makeDir("home")});
    options.unsetEnv = {"VL_INTERNAL_INSTALL_AGENT_URL", "WAYLAND_DISPLAY"};
    options.timeout = seconds(30);
    RunResult result = runProgram(bundle.executablePath(), {"setup"}, options);
    EXPECT_FALSE(result.timedOut) << result.describe();
    EXPECT_EQ(result.exitCode, 255) << result.describe();
    EXPECT_TRUE(said(result, "Download failed with error code 401")) << result.err;
    EXPECT_EQ(lastLine(result.err), "Installation failed.");
    return result;
  }

  // Whether a line on standard error holds `text`.
  static bool said(const RunResult& result, const std::string& text) {
    std::vector<std::string> lines = splitLines(result.err);
    return std::any_of(lines.begin(), lines.end(), [&text](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }

  ScratchDir scratch;
  TestHttpServer server;
};

TEST_F(DownloadWindowFallback, AnUnreachableDisplayGivesTheTerminalWindow) {
  RunResult result = runWith({{"DISPLAY", ":4242"}});
  EXPECT_FALSE(said(result, "could not be loaded")) << result.err;
}

TEST_F(DownloadWindowFallback, AWindowModuleThatCannotBeLoadedGivesTheTerminalWindow) {
  // The GTK library found first is no library at all, as on a machine with a broken GTK.
  std::string libraries = scratch.makeDir("libraries");
  writeFile(libraries + "/libgtk-3.so.0", "not a library\n");
  RunResult result = runWith({{"DISPLAY", ":4242"}, {"LD_LIBRARY_PATH", libraries}});
  std::vector<std::string> log = splitConsole(result.err).log;
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& message) {
    return message.rfind("The desktop window could not be loaded: ", 0) == 0 &&
           message.find("libgtk-3.so.0") != std::string::npos;
  })) << result.err;
}

}  // namespace

// The installer's desktop window as a user meets it: the built installer runs in a bundle
// against a loopback server, and the test finds its window over AT-SPI, reads its status text,
// bar and button as assistive technology does, looks at it through screenshots, presses its
// button and closes it. The same tests run on X11 and on Wayland (tools/lib/desktop-session);
// every test leaves its pictures in "<build dir>/screenshots". Skipped without a display.
#include <atspi/atspi.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
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
// The splash, 800 x 600, fitted into 400 x 400 points: 400 x 300 pixels at a scale of 1.
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

// GLib's warnings and criticals, GTK's and GDK's among them, as they appear on standard error.
bool toolkitComplained(const std::string& err) {
  return err.find("-CRITICAL **") != std::string::npos ||
         err.find("-WARNING **") != std::string::npos;
}

// A run that ended as a closed window without a hand-over ends.
void expectClosedWithoutAgent(const RunResult& result) {
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  EXPECT_FALSE(toolkitComplained(result.err)) << result.err;
}

// An X display of its own that takes connections and answers each with a byte (as a server that
// refuses them does), or never (as a frozen one); the first `hangUps` it hangs up on unanswered
// (as one that resets when its last client leaves).
struct FakeDisplay {
  explicit FakeDisplay(bool answers, int hangUps = 0) {
    mkdir("/tmp/.X11-unix", 01777);
    while (pathExists(path())) ++number;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listening, 16), 0);
    if (answers) {
      answering = std::thread([this, hangUps]() mutable {
        for (int client; (client = accept(listening, nullptr, nullptr)) >= 0; close(client))
          if (hangUps-- <= 0) (void)!write(client, "", 1);
      });
    }
  }
  ~FakeDisplay() {
    shutdown(listening, SHUT_RDWR);  // ends the accept
    if (answering.joinable()) answering.join();
    close(listening);
    std::filesystem::remove(path());
  }
  std::string path() const { return "/tmp/.X11-unix/X" + std::to_string(number); }
  std::string name() const { return ":" + std::to_string(number); }

  int number = 300 + getpid() % 500;
  int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::thread answering;
};

class DownloadWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no desktop: run through tools/lib/desktop-session";
    bundle = std::make_unique<BundleBuilder>(scratch.path(), "Setup");
    bundle->addBundleZip();
    ASSERT_TRUE(writeSplashPng(bundle->resourcesPath() + "/splash.png", 800, 600));
    bundle->setEndpointFile(server.url("/agent.zip") + "\n");
    home = scratch.makeDir("home");
    cacheDir = home + "/" + INSTALL_AGENT_CACHE_SUBPATH;
    options.setEnv = {{"HOME", home}, {"TMPDIR", scratch.makeDir("tmp")}};
    options.unsetEnv = {"VL_INTERNAL_INSTALL_AGENT_URL", "__VL_BOOTSTRAP_INSTALLER_UNITTEST__"};
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

  // 64 KiB of 1 MiB, then silence: the window stays at "Downloading" until it is closed.
  void serveStalled(int64_t size = 1 << 20, int64_t after = 64 * 1024) {
    Reply stalled;
    stalled.generatedSize = size;
    stalled.headers = {{"ETag", "\"v1\""}};
    stalled.stallAfter = after;
    server.serve("/agent.zip", stalled);
  }

  void serveDenied() {
    Reply denied;
    denied.status = 401;
    denied.body = "denied";
    server.serve("/agent.zip", denied);
  }

  ScratchDir scratch;
  TestHttpServer server;
  std::unique_ptr<BundleBuilder> bundle;
  std::string home;
  std::string cacheDir;
  RunOptions options;
};

TEST_F(DownloadWindowTest, AppearsWithItsControlsAndTheSplashFitted) {
  serveStalled();
  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
  EXPECT_EQ(window->title(), kTitle);

  // What a screen reader finds: the status text, the bar with its value and the bytes, and the
  // button that Return presses.
  EXPECT_EQ(window->status().role(), "label");
  EXPECT_EQ(window->status().name(), "Downloading");
  EXPECT_EQ(window->bar().role(), "progress bar");
  EXPECT_TRUE(DesktopWindow::waitFor(
      [&] { return window->barValue().value == 0.0625 && window->barValue().maximum == 1.0; },
      seconds(10)))
      << window->barValue().value << " of " << window->barValue().maximum;
  EXPECT_EQ(window->bar().description(), "65.5 kB of 1.0 MB");
  EXPECT_EQ(window->button().role(), "push button");
  EXPECT_EQ(window->button().name(), "Cancel");
  EXPECT_TRUE(window->button().hasState(ATSPI_STATE_IS_DEFAULT));
  EXPECT_TRUE(window->button().hasState(ATSPI_STATE_SENSITIVE));

  long splash = waitForPixels(*window, isSplashGreen, kFittedSplashPixels * 95 / 100, seconds(10));
  EXPECT_GE(splash, kFittedSplashPixels * 95 / 100);
  EXPECT_LE(splash, kFittedSplashPixels * 102 / 100);  // fitted, not stretched to 400 x 400
  EXPECT_EQ(countPixels(window->screenshot(), isStatusRed), 0);

  ASSERT_TRUE(window->requestClose());
  expectClosedWithoutAgent(run->finish());
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
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
  window->screenshot("downloading");

  ASSERT_TRUE(waitForFile(started, seconds(30))) << "the agent did not start";
  // Handed over: the window has left the screen while the agent still runs.
  EXPECT_TRUE(window->waitGone(seconds(10)));
  writeFile(go, "");

  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_FALSE(toolkitComplained(result.err)) << result.err;
  std::vector<AgentRun> runs = readAgentRuns(agent.recordPath);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, cacheDir + INSTALL_AGENT_DIR + "/install");
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle->resourcesPath() + "/bundle.zip",
                                      "-mode", "gui test"}));
  EXPECT_EQ(readFile(cacheDir + VALIDATION_STRING_FILE), "\"v1\"");
  EXPECT_EQ(server.hits("/agent.zip"), 1);
  // The window came from the module the installer carries, with GTK behind it but no GL
  // driver, as a client of the desktop's own kind; the agent's environment is the installer's.
  // The portable installer (INSTALLER_UNDER_TEST) never loads GTK: its window helper does.
  std::string map = readFile(maps);
  bool portable = installerExecutable() != INSTALLER_EXECUTABLE;
  EXPECT_EQ(map.find("/memfd:installer-desktop-window") != std::string::npos, !portable) << map;
  EXPECT_EQ(map.find("libgtk-3.so") != std::string::npos, !portable) << map;
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
  RunResult result = runProgram(bundle->executablePath(), {"setup"}, options);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(agent.recordPath).size(), 2u);
  EXPECT_EQ(server.hits("/agent.zip"), 2);
  std::string map = readFile(maps);
  ASSERT_NE(map.find(bundle->executablePath()), std::string::npos) << "not the installer's map:\n"
                                                                   << map;
  // Without the toolkit no window can have been shown, not even for a moment.
  EXPECT_EQ(map.find("libgtk-3"), std::string::npos) << map;
  EXPECT_EQ(map.find("installer-desktop-window"), std::string::npos) << map;
}

TEST_F(DownloadWindowTest, ASlowFirstByteStillShowsTheWindow) {
  AgentScript agent{scratch.file("agent-record"), 0, ""};
  Reply silent;
  silent.stallBeforeAnswer = true;  // until the window is on the screen
  serveAgent(agent, silent);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window while the server was silent";
  EXPECT_EQ(server.hits("/agent.zip"), 1);
  EXPECT_GE(waitForPixels(*window, isSplashGreen, kFittedSplashPixels * 95 / 100, seconds(10)),
            kFittedSplashPixels * 95 / 100);

  server.releaseStalls();
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(agent.recordPath).size(), 1u);
}

TEST_F(DownloadWindowTest, ASessionBusThatNeverAnswersDoesNotHoldTheWindow) {
  // The bus takes connections into its backlog and never reads them.
  std::string bus = scratch.file("bus");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  bus.copy(address.sun_path, sizeof address.sun_path - 1);
  int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listening, 16), 0);
  options.setEnv.push_back({"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus});
  std::string maps = scratch.file("installer-maps");
  AgentScript agent{scratch.file("agent-record"), 0, "cat /proc/$PPID/maps > '" + maps + "'"};
  Reply reply;
  reply.dripBytes = 16 * 1024;
  reply.dripInterval = milliseconds(40);
  serveAgent(agent, reply);

  RunResult result = startInstaller()->finish();
  close(listening);
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(agent.recordPath).size(), 1u);
  // The window was there, without its accessibility bridge.
  bool portable = installerExecutable() != INSTALLER_EXECUTABLE;
  EXPECT_EQ(readFile(maps).find("libgtk-3.so") != std::string::npos, !portable);
}

TEST_F(DownloadWindowTest, ClosingTheWindowMidDownloadEndsTheRunPromptly) {
  serveStalled(4 << 20, 256 * 1024);  // then silence: only the close can end the run
  // Far below the session's own idle timeout, so only a cancelled download ends in time.
  options.timeout = seconds(20);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
  window->screenshot("downloading");

  ASSERT_TRUE(window->requestClose());
  expectClosedWithoutAgent(run->finish());
  EXPECT_TRUE(window->waitGone(seconds(1)));
  EXPECT_FALSE(pathExists(cacheDir + INSTALL_AGENT_DIR + "/install"));
  EXPECT_FALSE(pathExists(cacheDir + VALIDATION_STRING_FILE));
  server.releaseStalls();
}

TEST_F(DownloadWindowTest, AWindowDestroyedFromOutsideEndsTheRun) {
  if (currentDesktop() != Desktop::kX11)
    GTEST_SKIP() << "only an X11 client's window can be destroyed by another client";
  serveStalled(4 << 20, 256 * 1024);
  options.timeout = seconds(20);

  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();

  ASSERT_TRUE(window->destroy());
  RunResult result = run->finish();
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLine(result.err), "Installation failed.");
  server.releaseStalls();
}

// The display goes mid-download (a crashed server, a broken remote link), here its own server.
TEST_F(DownloadWindowTest, ADisplayThatGoesEndsTheRunAndLeavesNothing) {
  serveStalled(4 << 20, 256 * 1024);
  const bool x11 = currentDesktop() == Desktop::kX11;
  int number = 200 + getpid() % 500;  // an X display no server has taken
  while (pathExists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  const std::string name = x11 ? ":" + std::to_string(number) : "wayland-lost";
  // A small screen, which the window still fits, its button included.
  std::unique_ptr<RunningProgram> display =
      x11 ? startProgram("Xvfb", {"Xvfb", name, "-nolisten", "tcp", "-screen", "0", "640x400x24"})
          : startProgram("weston", {"weston", "--socket=" + name, "--backend=headless-backend.so",
                                    "--width=640", "--height=400"});
  std::string socket = x11 ? "/tmp/.X11-unix/X" + name.substr(1)
                           : std::string(getenv("XDG_RUNTIME_DIR")) + "/" + name;
  ASSERT_TRUE(DesktopWindow::waitFor([&] { return pathExists(socket); }, seconds(10)));
  options.setEnv.push_back({x11 ? "DISPLAY" : "WAYLAND_DISPLAY", name});
  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << run->finish().describe();
  g_autofree AtspiRect* button =
      atspi_component_get_extents(atspi_accessible_get_component_iface(window->button().get()),
                                  ATSPI_COORD_TYPE_WINDOW, nullptr);
  ASSERT_NE(button, nullptr);
  EXPECT_LE(button->y + button->height, 400);
  display->signal(SIGKILL);
  expectClosedWithoutAgent(run->finish());
  EXPECT_TRUE(listDir(scratch.path() + "/tmp").empty());
  server.releaseStalls();
  if (x11) std::filesystem::remove("/tmp/.X" + name.substr(1) + "-lock");
  std::filesystem::remove(socket);  // left by a server that was killed
}

// Each wait at the window's boundary ends: on a display that takes the connection and never
// answers, a window helper whose first message announces 4 GiB (a library it loads writes
// noise), and one that stops reading (stopped, as a display server may hold it). The run goes
// on with the terminal window and logs why; a SIGTERM meanwhile ends it at once, and leaves
// neither its temporary directory nor a helper behind.
TEST_F(DownloadWindowTest, EveryWaitAtTheBoundaryEnds) {
  const bool portable = installerExecutable() != INSTALLER_EXECUTABLE;
  FakeDisplay silent(false);
  struct Row {
    const char* fault;
    std::string cause;
    std::pair<std::string, std::string> setting;
    bool stopHelper = false;
  };
  const Row rows[] = {
      {"silent display", "the display " + silent.name() + " did not answer within 4 s",
       {"DISPLAY", silent.name()}},
      {"noisy helper", "its helper sent what no message is", {"LD_PRELOAD", HELPER_NOISE}},
      {"stopped helper", "the window helper left its messages unread for 4 s", {}, true},
  };
  AgentScript agent{scratch.file("agent-record"), 0, ""};
  for (const Row& row : rows) {
    if (row.cause.rfind("the display", 0) != 0 && !portable) continue;  // only it has a helper
    for (bool terminated : {false, true}) {
      SCOPED_TRACE(std::string(row.fault) + (terminated ? ", then SIGTERM" : ""));
      std::filesystem::remove_all(cacheDir);  // each run downloads
      RunOptions run = options;
      if (!row.setting.first.empty()) run.setEnv.push_back(row.setting);
      if (row.setting.first == "DISPLAY") run.unsetEnv.push_back("WAYLAND_DISPLAY");
      Reply reply;  // for a stopped helper, about 10 s: it is seen to stop reading meanwhile
      if (row.stopHelper) {
        reply.dripBytes = 2048;
        reply.dripInterval = milliseconds(50);
      }
      if (terminated) {
        serveStalled();
      } else {
        serveAgent(agent, reply);
      }
      std::unique_ptr<RunningProgram> installer =
          startProgram(bundle->executablePath(), {"setup"}, run);
      pid_t helper = -1;
      if (row.stopHelper) {
        std::optional<DesktopWindow> window = DesktopWindow::find(installer->pid(), kAppearTimeout);
        ASSERT_TRUE(window) << installer->finish().describe();
        helper = window->pid();
        kill(helper, SIGSTOP);
      }
      std::this_thread::sleep_for(seconds(1));
      auto signalled = std::chrono::steady_clock::now();
      if (terminated) installer->signal(SIGTERM);
      RunResult result = installer->finish();
      server.releaseStalls();
      EXPECT_FALSE(result.timedOut) << result.describe();
      if (terminated) {
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, seconds(2)) << "not at once";
      } else {
        EXPECT_EQ(result.exitCode, 0) << result.describe();
        EXPECT_TRUE(loggedContaining(result.err, row.cause)) << result.err;
      }
      EXPECT_TRUE(listDir(scratch.path() + "/tmp").empty());
      if (helper > 0) {  // ended, at most a moment after the run (a zombie until reaped)
        std::string stat;
        EXPECT_TRUE(DesktopWindow::waitFor(
            [&] {
              stat = readFile("/proc/" + std::to_string(helper) + "/stat");
              return stat.empty() || stat.find(") Z ") != std::string::npos;
            },
            seconds(2)))
            << "helper left: " << stat;
        kill(helper, SIGKILL);
      }
    }
  }
}

// WCAG's contrast ratio between the failure text and the window's background on the picture
// at `path`: the background is the commonest colour that is not the splash's, the text's colour
// the red one that stands out from it most (the core of a glyph, not its anti-aliased edge).
double failureTextContrast(const std::string& path) {
  std::map<std::tuple<int, int, int>, long> colours;
  countPixels(path, [&](int red, int green, int blue) {
    if (!isSplashGreen(red, green, blue)) ++colours[{red, green, blue}];
    return false;
  });
  if (colours.empty()) return 0;
  auto commonest = std::max_element(colours.begin(), colours.end(), [](auto& a, auto& b) {
                     return a.second < b.second;
                   })->first;
  auto luminance = [](const std::tuple<int, int, int>& colour) {
    auto linear = [](int channel) {
      double value = channel / 255.0;
      return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    auto [red, green, blue] = colour;
    return 0.2126 * linear(red) + 0.7152 * linear(green) + 0.0722 * linear(blue);
  };
  double background = luminance(commonest), best = 0;
  for (const auto& [colour, count] : colours) {
    auto [red, green, blue] = colour;
    if (red - std::max(green, blue) < 60) continue;  // not the failure's red
    double text = luminance(colour);
    best =
        std::max(best, (std::max(text, background) + 0.05) / (std::min(text, background) + 0.05));
  }
  return best;
}

// A failure, in the default theme and in a dark one: it stays readable against either.
TEST_F(DownloadWindowTest, UnauthorizedShowsTheFailureAndCloseEndsWith255) {
  for (const char* theme : {"Adwaita", "Adwaita:dark"}) {
    SCOPED_TRACE(theme);
    std::string step = std::string(theme) == "Adwaita" ? "light" : "dark";
    options.setEnv.push_back({"GTK_THEME", theme});
    serveDenied();
    std::unique_ptr<RunningProgram> run = startInstaller();
    std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
    ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
    // "Download failed with error code 401" in red, under the splash, over a full bar.
    EXPECT_TRUE(DesktopWindow::waitFor(
        [&] { return window->status().name() == "Download failed with error code 401"; },
        seconds(10)))
        << window->status().name();
    ASSERT_GE(waitForPixels(*window, isStatusRed, 100, seconds(10), step), 100);
    EXPECT_GE(failureTextContrast(window->screenshot(step)), 4.5);
    EXPECT_GE(countPixels(window->screenshot(step), isSplashGreen), kFittedSplashPixels * 95 / 100);
    EXPECT_EQ(window->barValue().value, window->barValue().maximum);

    // A failure does not end the run: the window waits for the user, Return presses "Close".
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(DesktopWindow::find(run->pid(), seconds(1)));
    EXPECT_EQ(window->button().name(), "Close");
    EXPECT_TRUE(window->button().hasState(ATSPI_STATE_IS_DEFAULT));

    ASSERT_TRUE(window->pressButton());
    RunResult result = run->finish();
    expectClosedWithoutAgent(result);
    EXPECT_TRUE(logged(result.err, "Download failed with http error code- 401")) << result.err;
    EXPECT_TRUE(readAgentRuns(scratch.file("agent-record")).empty());
    EXPECT_FALSE(pathExists(cacheDir + INSTALL_AGENT_DIR + "/install"));
    options.setEnv.pop_back();
  }
}

// The locale `name` (e.g. "de_DE.UTF-8"), made once into "<build dir>/locales" from the
// system's locale sources (Debian `locales`), for LOCPATH: the tests need no locale installed.
std::string localesWith(const std::string& name) {
  std::string directory = std::string(INSTALLER_BUILD_DIR) + "/locales";
  if (!pathExists(directory + "/" + name)) {
    std::string language = name.substr(0, name.find('.'));
    std::filesystem::create_directories(directory);
    runProgram("localedef", {"localedef", "-i", language, "-f", "UTF-8", directory + "/" + name});
  }
  return pathExists(directory + "/" + name + "/LC_CTYPE") ? directory : "";
}

TEST_F(DownloadWindowTest, SpeaksTheUsersLanguage) {
  bundle->addCatalogues();

  // German from LANG, numbers written the German way.
  std::string locales = localesWith("de_DE.UTF-8");
  ASSERT_FALSE(locales.empty()) << "localedef could not make de_DE.UTF-8";
  options.setEnv.insert(options.setEnv.end(), {{"LOCPATH", locales}, {"LANG", "de_DE.UTF-8"}});
  options.unsetEnv.insert(options.unsetEnv.end(), {"LANGUAGE", "LC_ALL", "LC_MESSAGES"});
  serveStalled();
  std::unique_ptr<RunningProgram> run = startInstaller();
  std::optional<DesktopWindow> window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
  EXPECT_EQ(window->title(), "Installationsprogramm");
  EXPECT_EQ(window->status().name(), "Wird heruntergeladen");
  EXPECT_EQ(window->bar().name(), "Download-Fortschritt");
  EXPECT_TRUE(DesktopWindow::waitFor(
      [&] { return window->bar().description() == "65,5 kB von 1,0 MB"; }, seconds(10)))
      << window->bar().description();
  EXPECT_EQ(window->button().name(), "Abbrechen");
  window->screenshot("german");
  ASSERT_TRUE(window->requestClose());
  expectClosedWithoutAgent(run->finish());
  server.releaseStalls();

  // Japanese from LANGUAGE, on a locale that names no language; the log stays English.
  options.setEnv.resize(2);  // HOME and TMPDIR, as the fixture set them
  options.setEnv.insert(options.setEnv.end(), {{"LC_ALL", "C.UTF-8"}, {"LANGUAGE", "ja"}});
  serveDenied();
  run = startInstaller();
  window = DesktopWindow::find(run->pid(), kAppearTimeout);
  ASSERT_TRUE(window) << "no window\n" << run->finish().describe();
  EXPECT_TRUE(DesktopWindow::waitFor(
      [&] { return window->status().name() == "ダウンロードに失敗しました (エラーコード 401)"; },
      seconds(10)))
      << window->status().name();
  EXPECT_EQ(window->button().name(), "閉じる");
  window->screenshot("japanese");
  ASSERT_TRUE(window->pressButton());
  RunResult result = run->finish();
  expectClosedWithoutAgent(result);
  EXPECT_TRUE(logged(result.err, "Download failed with http error code- 401")) << result.err;
}

// Runs that name a display but cannot show the desktop window. They need no display of their
// own: the server refuses the download, and the terminal window, which closes itself after
// showing a failure, ends the run.
class DownloadWindowFallback : public ::testing::Test {
 protected:
  // A run with `environment` that shows `failure`; `catalogues`: the bundle carries them;
  // `germanCatalogue`: it carries a German one compiled from this text.
  RunResult runWith(std::vector<std::pair<std::string, std::string>> environment,
                    const std::string& failure = "Download failed with error code 401",
                    bool catalogues = false, const std::string& germanCatalogue = "") {
    Reply denied;
    denied.status = 401;
    server.serve("/agent.zip", denied);
    std::string run = scratch.makeDir("run" + std::to_string(++runs));
    BundleBuilder bundle(run, "Setup");
    bundle.addBundleZip();
    if (catalogues) bundle.addCatalogues();
    if (!germanCatalogue.empty()) {
      std::string catalogue = bundle.resourcesPath() + "/locale/de/LC_MESSAGES";
      std::filesystem::create_directories(catalogue);
      writeFile(run + "/de.po", germanCatalogue);
      runProgram("msgfmt", {"msgfmt", "-o", catalogue + "/bootstrap-installer.mo", run + "/de.po"});
    }
    bundle.setEndpointFile(server.url("/agent.zip"));
    RunOptions options;
    options.setEnv = std::move(environment);
    options.setEnv.push_back({"HOME", scratch.makeDir("run" + std::to_string(runs) + "/home")});
    options.unsetEnv = {"VL_INTERNAL_INSTALL_AGENT_URL", "WAYLAND_DISPLAY", "DISPLAY"};
    options.timeout = seconds(30);
    RunResult result = runProgram(bundle.executablePath(), {"setup"}, options);
    EXPECT_FALSE(result.timedOut) << result.describe();
    EXPECT_EQ(result.exitCode, 255) << result.describe();
    EXPECT_TRUE(said(result, failure)) << result.err;
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
  int runs = 0;
};

TEST_F(DownloadWindowFallback, EveryRunThatCannotShowTheWindowGetsTheTerminalWindow) {
  FakeDisplay refusing(true), resetting(true, 1);
  // The GTK library found first is no library at all, as on a machine with a broken GTK.
  std::string libraries = scratch.makeDir("libraries");
  writeFile(libraries + "/libgtk-3.so.0", "not a library\n");
  const std::pair<std::string, std::string> french[] = {{"LC_ALL", "C.UTF-8"}, {"LANGUAGE", "fr"}};
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> environment;
    std::string cause = {};  // why the log says the desktop window could not be loaded
    bool catalogues = false;
    std::string failure = "Download failed with error code 401";
    std::string germanCatalogue = {};
  };
  const Case cases[] = {
      {"unreachable X11 display",
       {{"DISPLAY", ":4242"}},
       "the display :4242 could not be reached: "},
      {"unreachable Wayland display",
       {{"WAYLAND_DISPLAY", "no-such-wayland-display"}},
       "the Wayland display no-such-wayland-display could not be reached: "},
      {"broken GTK",
       {{"DISPLAY", refusing.name()}, {"LD_LIBRARY_PATH", libraries}},
       "libgtk-3.so.0"},
      {"broken GTK, on a display that resets as it is first asked",
       {{"DISPLAY", resetting.name()}, {"LD_LIBRARY_PATH", libraries}},
       "libgtk-3.so.0"},
      // The user's language from the bundle's catalogues; lines for scripts stay English.
      {"French", {french[0], french[1]}, "", true, "Échec du téléchargement, code d’erreur 401"},
      {"French, no catalogues in the bundle", {french[0], french[1]}},
      // A translation that would take the status code for a string is not used.
      {"German, a catalogue that mistakes the error code's type",
       {{"LC_ALL", "C.UTF-8"}, {"LANGUAGE", "de"}},
       "",
       false,
       "Download failed with error code 401",
       "msgid \"\"\nmsgstr \"Language: de\\n\"\n"
       "msgid \"Download failed with error code %ld\"\nmsgstr \"Fehlercode %s\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = runWith(c.environment, c.failure, c.catalogues, c.germanCatalogue);
    if (!c.cause.empty()) {
      EXPECT_TRUE(loggedContaining(result.err, "The desktop window could not be loaded: ") &&
                  loggedContaining(result.err, c.cause))
          << result.err;
    } else {
      EXPECT_FALSE(said(result, "could not be loaded")) << result.err;
    }
    EXPECT_TRUE(logged(result.err, "Download failed! Error code- 401")) << result.err;
    if (!c.germanCatalogue.empty()) {
      std::vector<std::string> lines = splitLines(result.err);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const std::string& line) {
                                return line.find("de/LC_MESSAGES/bootstrap-installer.mo") !=
                                           std::string::npos &&
                                       line.find("\"Fehlercode %s\"") != std::string::npos;
                              }),
                1)
          << result.err;
    }
  }
}

}  // namespace

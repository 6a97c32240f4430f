#include "download_app/download.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "download_app/download_entry.h"
#include "download_app/main_interface.h"
#include "host/application.h"
#include "provisioning/cache_lock.h"
#include "support/bundle_builder.h"
#include "support/download_fixture.h"
#include "support/scratch_dir.h"
#include "support/test_http_server.h"
#include "tests/download_app/recording_window.h"

namespace {

using testsupport::AgentRun;
using testsupport::AgentScript;
using testsupport::WindowRecord;
using testsupport::readFile;
using testsupport::Reply;
using testsupport::ScopedEnv;
using testsupport::TestHttpServer;

// What one run of the download window did.
struct Outcome {
  int status = -1;
  std::optional<host::Process> agent;
  int agentStatus = -1;       // the agent's exit status, when one was started
  bool watchdogFired = false;
  bool closedByTest = false;
  bool visibleWhenClosedByTest = false;
  std::vector<std::string> runDirWhenClosedByTest;
  std::string installAgentLocation;
};

struct RunSettings {
  bool closesAfterFailure = false;
  // Checked on the main thread while the window runs; when it holds, the test closes the
  // window as its user would.
  std::function<bool(const WindowRecord&)> closeWhen;
  // Done instead of closing the window when `closeWhen` holds (on the main thread).
  std::function<void()> insteadOfClosing;
  std::vector<std::string> arguments;  // the user's, after the installer's program name
  bool withBundle = true;
  SigningKeys keys;  // the bundle's
  host::UrlSessionConfiguration session{.retrySecond = std::chrono::milliseconds(5)};
};

class DownloadTest : public testsupport::ScratchTest {
 protected:
  void SetUp() override {
    home = scratch.makeDir("home");
    runDir = scratch.makeDir("run");
    bundlePath = scratch.makeDir("Setup.app");
    resources = scratch.makeDir("Setup.app/Contents/Resources");
    record = scratch.file("record");
    homeEnv = std::make_unique<ScopedEnv>("HOME", home);
    // Provisioning makes the (empty) agent directory before any download.
    scratch.makeDir("home/.vellum/app_installer_cache/Q7312m/x64osx/installagent");
  }

  std::string cacheDir() const { return home + "/.vellum/app_installer_cache/Q7312m/x64osx/"; }
  std::string agentDir() const { return cacheDir() + "installagent"; }
  std::string tagFile() const { return cacheDir() + ".validatestring"; }
  std::string endpointFile() const { return resources + "/installAgentURL.txt"; }

  // The bytes of an agent archive whose "install" records its start and exits with `status`.
  std::string agentArchive(int status, const std::map<std::string, std::string>& extra = {}) {
    std::string path = scratch.file("archive-" + std::to_string(archives++) + ".zip");
    EXPECT_TRUE(testsupport::makeAgentZip(path, AgentScript{record, status, ""}, extra));
    return readFile(path);
  }

  // The same, with `size` bytes of incompressible ballast: a download that takes many reads.
  std::string ballastArchive(size_t size) {
    std::string ballast(size, '\0');
    std::mt19937 random(7);
    for (char& byte : ballast) byte = static_cast<char>(random());
    return agentArchive(0, {{"ballast.bin", ballast}});
  }

  // An agent already in the cache, vouched for by `tag`.
  void cacheAgent(const std::string& recordPath, const std::string& tag) {
    testsupport::writeFile(agentDir() + "/install",
                           testsupport::agentScript(AgentScript{recordPath, 0, ""}));
    testsupport::writeFile(tagFile(), tag);
  }

  Reply archiveReply(const std::string& body, const std::string& etag) {
    Reply reply;
    reply.body = body;
    if (!etag.empty()) reply.headers = {{"ETag", etag}};
    return reply;
  }

  Outcome run(const std::string& url, const RunSettings& settings = {}) {
    Outcome outcome;
    auto fallback = [](const std::optional<download_app::Image>&, download_app::WindowEvents&) {
      ADD_FAILURE() << "the terminal window took over";
      return std::unique_ptr<download_app::DownloadWindow>();
    };
    download_app::MainInterface ui(
        testsupport::recordingLoader(log, settings.closesAfterFailure), fallback,
        {runDir + "/InstallAgent.zip",
         url,
         endpointFile(),
         {resources, settings.arguments},
         settings.keys,
         settings.session});
    if (settings.withBundle) {
      ui.download().setMainBundle(MainBundle{bundlePath, resources});
    } else {
      ui.download().setMainBundle(std::nullopt);
    }

    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    // Closes the window when the test's condition holds; ends a run that hangs.
    std::thread helper([&] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      std::unique_lock<std::mutex> lock(mutex);
      while (!ended.wait_for(lock, std::chrono::milliseconds(20), [&] { return done; })) {
        if (std::chrono::steady_clock::now() > deadline) {
          outcome.watchdogFired = true;
          host::stopApplication(-1);
          continue;
        }
        if (!settings.closeWhen || outcome.closedByTest) continue;
        lock.unlock();
        host::runOnMain([&] {
          if (outcome.closedByTest || !settings.closeWhen(*log)) return;
          outcome.closedByTest = true;
          outcome.visibleWhenClosedByTest = ui.window().isVisible();
          outcome.runDirWhenClosedByTest = testsupport::listDir(runDir);
          if (settings.insteadOfClosing) {
            settings.insteadOfClosing();
          } else {
            ui.window().close();
          }
        });
        lock.lock();
      }
    });
    outcome.status = CallNSApplicationMain(0, nullptr, ui);
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    ended.notify_all();
    helper.join();
    outcome.installAgentLocation = ui.download().installAgentLocation();
    outcome.agent = ui.download().takeAgent();
    if (outcome.agent) {
      int status = outcome.agent->wait();
      outcome.agentStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    EXPECT_FALSE(outcome.watchdogFired) << "the download window did not end by itself";
    EXPECT_EQ(log->offMainThreadCalls, 0) << "a control was touched off the main thread";
    EXPECT_TRUE(log->loads == 0 || log->closed) << "a window stayed on screen after the loop";
    return outcome;
  }

  std::vector<AgentRun> agentRuns() const { return testsupport::readAgentRuns(record); }

  void expectFailure(const std::string& message) const {
    EXPECT_EQ(log->status.text, message);
    EXPECT_TRUE(log->failed);
    EXPECT_EQ(log->status.button, "Close");
    EXPECT_TRUE(log->status.buttonEnabled) << "also after a failure while the agent was unpacked";
    EXPECT_FALSE(log->bar.indeterminate);
    EXPECT_EQ(log->bar.value, log->bar.maximum) << "the bar is not full";
  }

  std::string home, runDir, bundlePath, resources, record;
  std::unique_ptr<ScopedEnv> homeEnv;
  std::shared_ptr<WindowRecord> log = std::make_shared<WindowRecord>();
  // Made on first use: a test that needs no server makes none.
  TestHttpServer& server() {
    if (!server_) server_.emplace();
    return *server_;
  }
  std::optional<TestHttpServer> server_;
  int archives = 0;
};

TEST_F(DownloadTest, FirstRunFillsTheCacheAndHandsOverToTheNewAgent) {
  std::string archive = agentArchive(7);
  server().serve("/agent.zip", archiveReply(archive, "\"5f3a-1c\""));
  RunSettings settings;
  settings.arguments = {"-mode", "silent words", "q\"uote", ""};
  Outcome outcome = run(server().url("/agent.zip"), settings);

  EXPECT_EQ(outcome.status, 1);
  ASSERT_TRUE(outcome.agent);
  EXPECT_EQ(outcome.agentStatus, 7);
  std::vector<AgentRun> runs = agentRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, agentDir() + "/install");
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", resources + "/bundle.zip", "-mode",
                                      "silent words", "q\"uote", ""}));
  EXPECT_EQ(outcome.installAgentLocation, agentDir() + "/");
  EXPECT_EQ(readFile(tagFile()), "\"5f3a-1c\"");
  EXPECT_EQ(readFile(agentDir() + "/install"),
            testsupport::agentScript(AgentScript{record, 7, ""}));
  EXPECT_EQ(server().hits("/agent.zip"), 1);

  // The bar counted the archive's bytes; then the window showed the unpacking.
  EXPECT_EQ(log->bar.value, static_cast<double>(archive.size()));
  EXPECT_GE(log->increments(), 1);
  EXPECT_EQ(log->status.text, "Initializing the installer");
  EXPECT_TRUE(log->bar.indeterminate);
  EXPECT_FALSE(log->status.buttonEnabled);
  EXPECT_FALSE(log->failed);
  EXPECT_FALSE(log->splash);  // the resources hold none
  int sized = log->indexOf([&](const WindowRecord::Call& call) {
    return call.bar.maximum == static_cast<double>(archive.size()) && call.bar.countsBytes;
  });
  int unpacking = log->indexOf("Initializing the installer");
  EXPECT_GE(sized, 0);
  EXPECT_LT(sized, unpacking);
  EXPECT_GT(log->indexOf([](auto& call) { return call.kind == WindowRecord::kHide; }),
            unpacking);  // off the terminal before the agent writes to it

  // Nothing but the agent, its tag and the lock file in the cache; nothing left in the run's
  // directory.
  EXPECT_EQ(testsupport::listDir(cacheDir()),
            (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
  EXPECT_TRUE(testsupport::listDir(runDir).empty());
}

TEST_F(DownloadTest, ProgressWakesTheMainThreadAboutTenTimesASecond) {
  // Incompressible ballast, dripped in 8 KB pieces 10 ms apart: a download of about a second
  // in a hundred reads.
  std::string archive = ballastArchive(768 * 1024);
  Reply reply = archiveReply(archive, "\"v1\"");
  reply.dripBytes = 8 * 1024;
  reply.dripInterval = std::chrono::milliseconds(10);
  server().serve("/agent.zip", reply);

  const uint64_t before = host::mainQueueClosuresRun();
  const auto started = std::chrono::steady_clock::now();
  Outcome outcome = run(server().url("/agent.zip"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double closures = static_cast<double>(host::mainQueueClosuresRun() - before);

  EXPECT_EQ(outcome.status, 1);
  ASSERT_GE(seconds, 0.8) << "the drip was too fast to tell";
  // The first data, a delivery every 100 ms, and the finish.
  EXPECT_LE(closures, 3 + seconds * 10);
  EXPECT_GE(log->increments(), seconds * 10 / 2) << "the bar did not move steadily";
  EXPECT_EQ(log->bar.value, static_cast<double>(archive.size()));
}

TEST_F(DownloadTest, CurrentCacheHandsOverOnTheFirstData) {
  std::string cachedRecord = scratch.file("cached-record");
  cacheAgent(cachedRecord, "\"v1\"");
  std::string before = readFile(agentDir() + "/install");
  Reply reply;
  reply.generatedSize = int64_t{64} << 20;
  reply.dripBytes = 64 * 1024;
  reply.dripInterval = std::chrono::milliseconds(20);
  reply.headers = {{"ETag", "\"v1\""}};
  server().serve("/agent.zip", reply);
  RunSettings settings;
  settings.arguments = {"-x"};
  ScopedEnv delay("__VL_WINDOW_DELAY_MS__", "20000");  // the decision comes first, however busy
  Outcome outcome = run(server().url("/agent.zip"), settings);

  EXPECT_EQ(outcome.status, 1);
  ASSERT_TRUE(outcome.agent);
  std::vector<AgentRun> runs = testsupport::readAgentRuns(cachedRecord);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", resources + "/bundle.zip", "-x"}));
  // The download was abandoned, with nothing to show: no window, no unpacking, the cache as
  // it was.
  EXPECT_EQ(log->loads, 0);
  EXPECT_EQ(readFile(agentDir() + "/install"), before);
  EXPECT_EQ(readFile(tagFile()), "\"v1\"");
  EXPECT_TRUE(testsupport::listDir(runDir).empty());
}

TEST_F(DownloadTest, ChangedTagReplacesTheStaleAgent) {
  std::string staleRecord = scratch.file("stale-record");
  cacheAgent(staleRecord, "\"v1\"");
  testsupport::writeFile(agentDir() + "/stale-only", "old");
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v2\""));
  Outcome outcome = run(server().url("/agent.zip"));

  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(testsupport::readAgentRuns(staleRecord).empty());
  EXPECT_EQ(agentRuns().size(), 1u);
  EXPECT_EQ(readFile(tagFile()), "\"v2\"");
  EXPECT_FALSE(testsupport::pathExists(agentDir() + "/stale-only"));
}

TEST_F(DownloadTest, StaleAgentIsGoneEvenWhenTheDownloadThenFails) {
  cacheAgent(scratch.file("stale-record"), "\"v1\"");
  Reply reply = archiveReply(std::string(100000, 'z'), "\"v2\"");
  reply.stallAfter = 1000;  // released after the first data: the connection closes early
  server().serve("/agent.zip", reply);
  RunSettings settings;
  settings.closesAfterFailure = true;
  settings.closeWhen = [](const WindowRecord& log) { return log.increments() > 0; };
  settings.insteadOfClosing = [this] { server().releaseStalls(); };
  Outcome outcome = run(server().url("/agent.zip"), settings);

  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(outcome.agent);
  EXPECT_EQ(log->status.text.rfind("Download failed: ", 0), 0u) << log->status.text;
  EXPECT_GT(log->status.text.size(), std::string("Download failed: ").size());
  EXPECT_FALSE(testsupport::pathExists(agentDir() + "/install"));
}

TEST_F(DownloadTest, AnInterruptedDownloadCountsDownKeepsItsBarAndGoesOn) {
  std::string archive = ballastArchive(256 * 1024);
  Reply whole = archiveReply(archive, "\"v1\"");
  whole.acceptRanges = true;
  Reply cut = whole;
  cut.resetAfter = static_cast<int64_t>(archive.size() / 2);
  cut.dripBytes = 16 * 1024;
  cut.dripInterval = std::chrono::milliseconds(5);
  Reply busy;
  busy.status = 503;
  busy.headers = {{"Retry-After", "3"}};
  server().serveInTurn("/agent.zip", {cut, busy, whole});
  Outcome outcome = run(server().url("/agent.zip"));

  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(agentRuns().size(), 1u);
  // The status line, each text once: the seconds count down, a second a wait.
  std::vector<std::string> texts;
  double counted = 0;  // the bar's bytes
  for (const WindowRecord::Call& call : log->calls) {
    if (call.kind == WindowRecord::kStatus && (texts.empty() || texts.back() != call.status.text))
      texts.push_back(call.status.text);
    if (call.kind != WindowRecord::kProgress || !call.bar.countsBytes) continue;
    EXPECT_GE(call.bar.value, counted) << "the bar lost bytes";
    counted = call.bar.value;
  }
  // After it "Downloading" again, unless the rest came in one piece, which the finish shows.
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 5),
            (std::vector<std::string>{"Downloading", "Download interrupted. Retrying in 1 s\u2026",
                                      "Download interrupted. Retrying in 3 s\u2026",
                                      "Download interrupted. Retrying in 2 s\u2026",
                                      "Download interrupted. Retrying in 1 s\u2026"}));
  EXPECT_EQ(texts.back(), "Initializing the installer");
  EXPECT_LE(texts.size(), 7u);
  // The bar kept its bytes, and counted every byte of the archive once.
  EXPECT_EQ(log->bar.value, static_cast<double>(archive.size()));
}

TEST_F(DownloadTest, Status401FailsOnTheFirstDataAndTheWindowStaysOpen) {
  cacheAgent(scratch.file("stale-record"), "\"v1\"");
  Reply reply = archiveReply(std::string(5000, 'x'), "\"v2\"");
  reply.status = 401;
  server().serve("/agent.zip", reply);
  RunSettings settings;
  settings.closeWhen = [](const WindowRecord& log) { return log.failed; };
  Outcome outcome = run(server().url("/agent.zip"), settings);

  EXPECT_TRUE(outcome.closedByTest);
  EXPECT_TRUE(outcome.visibleWhenClosedByTest) << "a failure closed the desktop window";
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(outcome.agent);
  expectFailure("Download failed with error code 401");
  EXPECT_EQ(log->increments(), 0);
  // The cache is untouched.
  EXPECT_TRUE(testsupport::pathExists(agentDir() + "/install"));
  EXPECT_EQ(readFile(tagFile()), "\"v1\"");
}

TEST_F(DownloadTest, FailureClosesAWindowThatNobodyCanClose) {
  Reply reply = archiveReply("denied", "");
  reply.status = 403;
  server().serve("/agent.zip", reply);
  RunSettings settings;
  settings.closesAfterFailure = true;
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_FALSE(outcome.closedByTest);
  EXPECT_EQ(outcome.status, 0);
  expectFailure("Download failed with error code 403");
  EXPECT_TRUE(log->closed);
}

TEST_F(DownloadTest, ArchiveWithoutAnEntryFileLeavesNoAgent) {
  std::string path = scratch.file("no-install.zip");
  ASSERT_TRUE(testsupport::makeZip(path, {{"readme.txt", "no agent here"}}));
  server().serve("/agent.zip", archiveReply(readFile(path), "\"v1\""));
  RunSettings settings;
  settings.closesAfterFailure = true;
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_EQ(outcome.status, 0);
  expectFailure("The install agent archive has no file \"install\" at its top level.");
  // The agent directory stays as provisioning made it: empty; no tag vouches for nothing.
  EXPECT_EQ(testsupport::listDir(cacheDir()), (std::vector<std::string>{".lock", "installagent"}));
  EXPECT_TRUE(testsupport::listDir(agentDir()).empty());
}

TEST_F(DownloadTest, WithoutContentLengthTheBarIsIndeterminate) {
  std::string archive = agentArchive(0);
  Reply reply = archiveReply(archive, "\"v1\"");
  reply.chunked = true;
  server().serve("/agent.zip", reply);
  Outcome outcome = run(server().url("/agent.zip"));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_GE(log->indexOf([](auto& call) { return call.bar.indeterminate && call.bar.countsBytes; }),
            0);
  EXPECT_EQ(log->indexOf([&](auto& call) { return call.bar.maximum == double(archive.size()); }),
            -1);
  EXPECT_EQ(log->bar.value, static_cast<double>(archive.size()));
}

TEST_F(DownloadTest, ClosingTheWindowMidDownloadEndsTheRun) {
  Reply reply = archiveReply(std::string(100000, 'y'), "\"v1\"");
  reply.stallAfter = 2000;
  server().serve("/agent.zip", reply);
  RunSettings settings;
  settings.closeWhen = [](const WindowRecord& log) { return log.increments() > 0; };
  Outcome outcome = run(server().url("/agent.zip"), settings);
  server().releaseStalls();

  EXPECT_TRUE(outcome.closedByTest);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(outcome.agent);
  EXPECT_FALSE(log->failed);
  EXPECT_EQ(log->status.text, "Downloading");
  // While it ran, the session kept the archive in the run's directory, and took it away.
  EXPECT_EQ(outcome.runDirWhenClosedByTest.size(), 1u);
  EXPECT_TRUE(testsupport::listDir(runDir).empty());
}

TEST_F(DownloadTest, ClosingTheWindowWhileTheArchiveAwaitsItsSignatureEndsTheRun) {
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  Reply silent;
  silent.stallBeforeAnswer = true;
  server().serve("/agent.zip.minisig", silent);
  RunSettings settings;
  settings.keys = {SigningKey{}};
  settings.closeWhen = [](const WindowRecord& log) {
    return log.status.text == "Verifying the installer…" && log.status.buttonEnabled;
  };
  Outcome outcome = run(server().url("/agent.zip"), settings);
  server().releaseStalls();

  EXPECT_TRUE(outcome.closedByTest);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(outcome.agent);
  EXPECT_FALSE(testsupport::pathExists(tagFile()));
  EXPECT_TRUE(testsupport::listDir(runDir).empty());
}

TEST_F(DownloadTest, EndpointThatCannotBeDownloadedIsShown) {
  struct Case {
    std::string url;
    std::string message;
  };
  const std::string notHttp = "Download failed: the download address in " + endpointFile() +
                              " is not an http or https URL.";
  for (const Case& c :
       {Case{"", "Download failed: no download address in " + endpointFile() + "."},
        Case{"ftp://127.0.0.1/agent.zip", notHttp},
        Case{server().url("/agent.zip") + " x", notHttp}, Case{"agent.zip", notHttp}}) {
    log = std::make_shared<WindowRecord>();
    RunSettings settings;
    settings.closesAfterFailure = true;
    Outcome outcome = run(c.url, settings);
    EXPECT_EQ(outcome.status, 0) << c.url;
    expectFailure(c.message);
  }
  EXPECT_EQ(server().hits("/agent.zip"), 0);
}

TEST_F(DownloadTest, WithoutABundleNothingIsDownloaded) {
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  RunSettings settings;
  settings.closesAfterFailure = true;
  settings.withBundle = false;
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_EQ(outcome.status, 0);
  expectFailure("The installer is not inside an application bundle.");
  EXPECT_EQ(server().hits("/agent.zip"), 0);
}

TEST_F(DownloadTest, SplashIsShownWhenTheResourcesHoldIt) {
  std::string splash = resources + "/splash.png";
  testsupport::writeFile(splash, "png bytes");
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  run(server().url("/agent.zip"));
  ASSERT_TRUE(log->splash);
  EXPECT_EQ(log->splash->path, splash);
  EXPECT_EQ(log->splash->width, 400);
  EXPECT_EQ(log->splash->height, 400);
}

TEST_F(DownloadTest, OneAgentPerRun) {
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  Outcome outcome = run(server().url("/agent.zip"));
  ASSERT_EQ(outcome.status, 1);
  // A second hand-over in the same run is refused.
  download_app::Download download({runDir + "/InstallAgent.zip", "", "", {resources, {}}, {}});
  EXPECT_TRUE(download.fireInstallAgent());
  EXPECT_FALSE(download.fireInstallAgent());
  std::optional<host::Process> agent = download.takeAgent();
  ASSERT_TRUE(agent);
  agent->wait();
  EXPECT_FALSE(download.takeAgent());
  EXPECT_EQ(agentRuns().size(), 2u);
}

TEST_F(DownloadTest, WaitsForTheCacheLockAndSaysSo) {
  // Another installer holds the cache's lock: this run waits, says so, and goes on once the
  // other lets go.
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  auto other = std::make_unique<CacheLock>();
  ASSERT_EQ(other->tryLock(cacheDir()), CacheLock::Result::kHeld);
  RunSettings settings;
  settings.closeWhen = [](const WindowRecord& log) {
    return log.status.text == "Waiting for another installer to finish";
  };
  settings.insteadOfClosing = [&] { other.reset(); };
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_TRUE(outcome.closedByTest) << "the run never said it was waiting";
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(agentRuns().size(), 1u);
  EXPECT_GE(log->indexOf("Waiting for another installer to finish"), 0);
}

TEST_F(DownloadTest, ClosingTheWindowEndsTheWaitForTheCacheLock) {
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  CacheLock other;
  ASSERT_EQ(other.tryLock(cacheDir()), CacheLock::Result::kHeld);
  RunSettings settings;
  settings.closeWhen = [](const WindowRecord& log) {
    return log.status.text == "Waiting for another installer to finish";
  };
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_TRUE(outcome.closedByTest);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(outcome.agent);
  EXPECT_TRUE(agentRuns().empty());
  EXPECT_FALSE(testsupport::pathExists(agentDir() + "/install"));
}

TEST_F(DownloadTest, CacheThatOthersCanChangeIsNotUsed) {
  // A current agent, but in a cache directory that other users can write to.
  cacheAgent(record, "\"v1\"");
  server().serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  chmod(cacheDir().c_str(), 0777);
  RunSettings settings;
  settings.closesAfterFailure = true;
  Outcome outcome = run(server().url("/agent.zip"), settings);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(agentRuns().empty());
  std::string dir = cacheDir().substr(0, cacheDir().size() - 1);
  expectFailure("The install agent cache is not safe to use: " + dir +
                " can be changed by other users.");
}

TEST(DownloadHandOver, NoAgentOnDiskIsNoHandOver) {
  testsupport::ScratchDir scratch;
  ScopedEnv home("HOME", scratch.path());
  download_app::Download download({});
  EXPECT_FALSE(download.fireInstallAgent());
  EXPECT_EQ(download.installAgentLocation(), "");
  EXPECT_FALSE(download.handedOver());
}

}  // namespace

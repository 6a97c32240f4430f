// How a run on the download road fails: each failure is shown, ends the run with 255 within a
// bounded time, starts no agent, leaves no half agent in the cache and no temporary directory.
// The server's faults are rows of the fault matrix (tests/reliability); here, the rest.

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/download_fixture.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using testsupport::BundleBuilder;
using testsupport::listDir;
using testsupport::readFile;
using testsupport::Reply;
using testsupport::RunResult;
using testsupport::TestHttpServer;

class DownloadFailureTest : public testsupport::DownloadRunTest {};

TEST_F(DownloadFailureTest, InterruptMidDownload) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    TestHttpServer server;  // a released stall stays released
    Reply reply = archiveReply(std::string(200000, 'i'), "\"v1\"");
    reply.stallAfter = 8192;
    server.serve("/agent.zip", reply);
    BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
    std::unique_ptr<testsupport::RunningProgram> running =
        testsupport::startProgram(bundle.executablePath(), {"Setup"}, installerOptions());

    // Wait (bounded) until the body streams into the run's temporary directory.
    bool streaming = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!streaming && std::chrono::steady_clock::now() < deadline) {
      for (const std::string& run : tempEntries()) {
        for (const std::string& file : listDir(tmpDir() + "/" + run)) {
          struct stat info;
          std::string path = tmpDir() + "/" + run + "/" + file;
          streaming = streaming || (stat(path.c_str(), &info) == 0 && info.st_size > 0);
        }
      }
      if (!streaming) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(streaming) << "the download never started";
    // As a terminal's Ctrl-C does: to the whole process group.
    running->signal(signal, signal == SIGINT);
    RunResult result = running->finish();
    server.releaseStalls();
    EXPECT_EQ(testsupport::splitConsole(result.err).other,
              std::vector<std::string>{"Installation failed."});
    expectFailedRun(result, "Installation failed.");
  }
}

// Limits of the process (a file size; thread stacks past the address space) fail the download.
TEST_F(DownloadFailureTest, ProcessLimitsFailTheRunCleanly) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(std::string(200000, 'f'), "\"v1\""));
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  const std::pair<const char*, std::string> rows[] = {
      {"ulimit -f 64",
       "Download failed: Could not write the downloaded data in " + tmpDir() + "/vl*"},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // shadow memory needs more
      {"ulimit -s 2000000 && ulimit -v 1000000",
       "Download failed: Resource temporarily unavailable"},
#endif
  };
  for (const auto& [limits, shown] : rows) {
    std::string run = std::string(limits) + " && exec \"$0\" Setup";
    expectFailedRun(testsupport::runProgram("/bin/sh", {"sh", "-c", run, bundle.executablePath()},
                                            installerOptions()),
                    shown);
  }
}

// A dumb terminal (TERM=dumb, an editor's shell buffer) gets its lines without control sequences.
TEST_F(DownloadFailureTest, ADumbTerminalGetsPlainLines) {
  std::string run =
      "TERM=dumb '" + makeBundle("http://127.0.0.1:9/a.zip").executablePath() + "' Setup";
  RunResult result = testsupport::runProgram(
      "/usr/bin/script", {"script", "-qec", run, "/dev/null"}, installerOptions());
  EXPECT_NE(result.out.find("Download failed: "), std::string::npos) << result.describe();
  EXPECT_EQ(result.out.find('\033'), std::string::npos) << result.out;
}

TEST_F(DownloadFailureTest, EndpointThatIsNotHttp) {
  BundleBuilder bundle = makeBundle("ftp://127.0.0.1/agent.zip");
  RunResult result = runInstaller(bundle, {"Setup"});
  expectFailedRun(result, "Download failed: the download address in " + bundle.resourcesPath() +
                              "/installAgentURL.txt is not an http or https URL.");
}

TEST_F(DownloadFailureTest, EmptyEndpointFromTheEnvironment) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  testsupport::RunOptions options = installerOptions();
  options.unsetEnv.erase(std::remove(options.unsetEnv.begin(), options.unsetEnv.end(),
                                     "VL_INTERNAL_INSTALL_AGENT_URL"),
                         options.unsetEnv.end());
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", ""});
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"}, options);
  expectFailedRun(result, "Download failed: no download address in VL_INTERNAL_INSTALL_AGENT_URL.");
  EXPECT_EQ(server.hits("/agent.zip"), 0);
}

TEST_F(DownloadFailureTest, InstallerOutsideABundle) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  std::string executable = scratch.file("bin/setup");
  testsupport::writeFile(executable, readFile(testsupport::installerExecutable()), 0755);
  testsupport::RunOptions options = installerOptions();
  options.unsetEnv.erase(std::remove(options.unsetEnv.begin(), options.unsetEnv.end(),
                                     "VL_INTERNAL_INSTALL_AGENT_URL"),
                         options.unsetEnv.end());
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", server.url("/agent.zip")});
  RunResult result = testsupport::runProgram(executable, {"setup"}, options);
  expectFailedRun(result, "The installer is not inside an application bundle.");
  EXPECT_EQ(server.hits("/agent.zip"), 0);
}

}  // namespace

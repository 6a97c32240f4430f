// The installer's download road end to end: the built executable in a real bundle without a
// carried agent, HOME and TMPDIR in a scratch directory, against nginx and the controllable
// loopback server.

#include <sys/stat.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/download_fixture.h"
#include "support/nginx_server.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using testsupport::AgentRun;
using testsupport::BundleBuilder;
using testsupport::listDir;
using testsupport::readFile;
using testsupport::Reply;
using testsupport::RunResult;
using testsupport::TestHttpServer;

class DownloadRoadTest : public testsupport::DownloadRunTest {};

// The tag nginx gives a static file: its modification time and its size, in hexadecimal.
std::string nginxTag(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "";
  char tag[64];
  snprintf(tag, sizeof(tag), "\"%lx-%lx\"", static_cast<unsigned long>(info.st_mtime),
           static_cast<unsigned long>(info.st_size));
  return tag;
}

TEST_F(DownloadRoadTest, FirstRunDownloadsAndSecondRunUsesTheCacheWithNginx) {
  std::string www = scratch.makeDir("www");
  std::string archive = agentArchive(0);
  testsupport::writeFile(www + "/agent.zip", archive);
  testsupport::NginxServer nginx(www);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  BundleBuilder bundle = makeBundle(nginx.url("/agent.zip"));
  std::vector<std::string> arguments = {"-mode", "silent words", "it's"};
  std::vector<std::string> argv = {"Setup", "-mode", "silent words", "it's"};

  RunResult first = runInstaller(bundle, argv);
  EXPECT_TRUE(first.exited && first.exitCode == 0) << first.describe();
  EXPECT_EQ(testsupport::splitConsole(first.err).other, std::vector<std::string>{})
      << "nothing is drawn without a terminal";
  std::vector<AgentRun> runs = agentRuns();
  ASSERT_EQ(runs.size(), 1u) << "the agent must start exactly once";
  EXPECT_EQ(runs[0].program, agentEntry());
  EXPECT_EQ(runs[0].arguments, agentWords(bundle, arguments));
  // The cache: the agent directory and the server's tag, byte for byte.
  EXPECT_EQ(listDir(cacheDir()),
            (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
  EXPECT_EQ(readFile(agentEntry()), testsupport::agentScript({record(), 0, ""}));
  std::string tag = nginxTag(www + "/agent.zip");
  ASSERT_FALSE(tag.empty());
  EXPECT_EQ(readFile(tagFile()), tag);
  EXPECT_TRUE(tempEntries().empty());

  RunResult second = runInstaller(bundle, argv);
  EXPECT_TRUE(second.exited && second.exitCode == 0) << second.describe();
  runs = agentRuns();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].program, agentEntry());
  EXPECT_EQ(runs[1].arguments, agentWords(bundle, arguments));
  EXPECT_EQ(readFile(tagFile()), tag);
  EXPECT_TRUE(tempEntries().empty());
  // The second run asked with the cached tag: nginx sent no archive.
  EXPECT_EQ(testsupport::splitLines(nginx.accessLog(2)),
            (std::vector<std::string>{"HTTP/1.1 200 /agent.zip", "HTTP/1.1 304 /agent.zip"}));
}

TEST_F(DownloadRoadTest, RunEndsWithTheAgentsStatus) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(3), "\"v1\""));
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(testsupport::splitConsole(result.err).other,
            (std::vector<std::string>{"Application install was not successful.",
                                      "Installation failed."}));
  ASSERT_EQ(agentRuns().size(), 1u) << "the driver started a second agent";
  EXPECT_EQ(agentRuns()[0].arguments, agentWords(bundle, {}));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(DownloadRoadTest, SecondRunAbandonsALargeDownloadAfterItsFirstData) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"big-1\""));
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  RunResult first = runInstaller(bundle, {"Setup"});
  ASSERT_EQ(first.exitCode, 0) << first.describe();

  // The same tag now comes with a large body; the server counts what it sends.
  const int64_t size = int64_t{512} << 20;
  auto sent = std::make_shared<std::atomic<int64_t>>(0);
  server.handle("/large.zip", [size, sent](const httplib::Request&, httplib::Response& response) {
    response.set_header("ETag", "\"big-1\"");
    response.set_content_provider(static_cast<size_t>(size), "application/zip",
                                  [sent](size_t offset, size_t length, httplib::DataSink& sink) {
                                    std::string piece(std::min<size_t>(length, 64 * 1024), 'L');
                                    if (!sink.write(piece.data(), piece.size())) return false;
                                    *sent = static_cast<int64_t>(offset + piece.size());
                                    return true;
                                  });
  });
  bundle.setEndpointFile(server.url("/large.zip") + "\n");
  RunResult second = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(second.exitCode, 0) << second.describe();
  ASSERT_EQ(agentRuns().size(), 2u);
  EXPECT_EQ(server.hits("/large.zip"), 1);
  EXPECT_LT(sent->load(), size / 8) << "the download was not abandoned";
  EXPECT_EQ(readFile(tagFile()), "\"big-1\"");
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(DownloadRoadTest, ATerminalRunNeverLoadsGtk) {
  // The agent keeps the memory map of its parent, the installer, as it is at the hand-over.
  std::string maps = scratch.file("installer-maps");
  TestHttpServer server;
  server.serve(
      "/agent.zip",
      archiveReply(agentArchive(0, "", {}, "cat /proc/$PPID/maps > '" + maps + "'"), "\"v1\""));
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  std::string map = readFile(maps);
  ASSERT_NE(map.find("libcurl"), std::string::npos) << "not the installer's map:\n" << map;
  EXPECT_EQ(map.find("libgtk-3"), std::string::npos);
  EXPECT_EQ(map.find("installer-desktop-window"), std::string::npos);
}

TEST_F(DownloadRoadTest, ChangedTagReplacesTheStaleAgent) {
  TestHttpServer server;
  std::string oldRecord = scratch.file("old-record");
  server.serve("/agent.zip",
               archiveReply(agentArchive(0, oldRecord, {{"old.txt", "old"}}), "\"v1\""));
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  ASSERT_EQ(runInstaller(bundle, {"Setup"}).exitCode, 0);
  ASSERT_EQ(testsupport::readAgentRuns(oldRecord).size(), 1u);

  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v2\""));
  RunResult result = runInstaller(bundle, {"Setup", "again"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(testsupport::readAgentRuns(oldRecord).size(), 1u) << "the stale agent ran again";
  ASSERT_EQ(agentRuns().size(), 1u);
  EXPECT_EQ(agentRuns()[0].arguments, agentWords(bundle, {"again"}));
  EXPECT_EQ(readFile(tagFile()), "\"v2\"");
  EXPECT_EQ(listDir(agentDir()), std::vector<std::string>{"install"});
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(DownloadRoadTest, EnvironmentOverridesTheEndpointFile) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  BundleBuilder bundle =
      makeBundle("http://127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()));
  testsupport::RunOptions options = installerOptions();
  options.unsetEnv.erase(std::remove(options.unsetEnv.begin(), options.unsetEnv.end(),
                                     "VL_INTERNAL_INSTALL_AGENT_URL"),
                         options.unsetEnv.end());
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", server.url("/agent.zip")});
  RunResult result = runInstaller(bundle, {"Setup"}, options);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(agentRuns().size(), 1u);
}

TEST_F(DownloadRoadTest, AnAgentThatRemovesItsEntryFileIsWaitedFor) {
  // Once the agent runs, the run's outcome is the agent's, whatever it does to its files.
  TestHttpServer server;
  server.serve("/agent.zip",
               archiveReply(agentArchive(3, "", {}, "rm -f \"$0\"\nsleep 0.5"), "\"v1\""));
  auto start = std::chrono::steady_clock::now();
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(testsupport::splitConsole(result.err).other,
            (std::vector<std::string>{"Application install was not successful.",
                                      "Installation failed."}));
  EXPECT_EQ(agentRuns().size(), 1u);
  EXPECT_FALSE(testsupport::pathExists(agentEntry()));
}

}  // namespace

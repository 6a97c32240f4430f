// A fixture for end-to-end runs of the installer on its download road.
//
// Extends `InstallerTest` (TMPDIR and HOME of the run in the scratch directory) with a bundle
// that carries no agent, only "bundle.zip" and the endpoint file, and with what the download
// tests check after a run: the cached agent, its tag, the lines on standard error, the
// agent's record. A test agent appends each start to `record()`.
//
// Example:
//   TEST_F(DownloadRunTest, FirstRun) {
//     server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
//     BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
//     RunResult result = runInstaller(bundle, {"Setup"});
//     EXPECT_EQ(result.exitCode, 0) << result.describe();
//   }
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/bundle_builder.h"
#include "support/installer_fixture.h"
#include "support/run_program.h"
#include "support/test_http_server.h"

namespace testsupport {

class DownloadRunTest : public InstallerTest {
 protected:
  // A bundle "Setup.app" with "bundle.zip" and "installAgentURL.txt" holding `url` and a line
  // feed, and no agent.
  BundleBuilder makeBundle(const std::string& url) const;

  // Where the test agent records its starts.
  std::string record() const { return scratch.file("record"); }
  // The starts recorded so far.
  std::vector<AgentRun> agentRuns() const { return readAgentRuns(record()); }

  // The bytes of an agent archive whose "install" records its start in `recordPath` (the
  // fixture's record when empty), runs `extraShell` and exits with `exitStatus`.
  std::string agentArchive(int exitStatus, const std::string& recordPath = "",
                           const std::map<std::string, std::string>& extraFiles = {},
                           const std::string& extraShell = "");

  // A reply with `body` and, when not empty, the "ETag" `etag`.
  static Reply archiveReply(const std::string& body, const std::string& etag);

  std::string agentDir() const { return cacheDir() + "installagent"; }
  std::string agentEntry() const { return agentDir() + "/install"; }
  std::string tagFile() const { return cacheDir() + ".validatestring"; }

  // The words the download window gives the agent after its entry file.
  static std::vector<std::string> agentWords(const BundleBuilder& bundle,
                                             const std::vector<std::string>& userArguments);

  // A run that ended in failure: exit status 255, `message` among the lines on standard
  // error (a line's start when it ends in "*") and "Installation failed." the last of them, no
  // agent started, nothing left in the run's temporary area.
  void expectFailedRun(const RunResult& result, const std::string& message) const;

 private:
  int archives_ = 0;
};

}  // namespace testsupport

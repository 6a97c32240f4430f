// A fixture for many runs of the installer on its download road: the reliability storms.
//
// Extends `DownloadRunTest` with checking agents (support/agent_check.h) of several versions,
// a server reply that drips the archive so that a download lasts long enough to be hit at a
// random moment, a cache planted with a given version, and a way to clear what killed runs
// left behind. All agents of a test append to `agentRecord()`.
//
// Example:
//   TEST_F(StormTest, Something) {
//     TestHttpServer server;
//     server.serve("/agent.zip", archiveOf("v1"));
//     BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
//     RunResult result = runInstaller(bundle, {"Setup"});
//     EXPECT_EQ(readAgentStarts(agentRecord()).complete, 1);
//   }
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "support/agent_check.h"
#include "support/download_fixture.h"
#include "support/test_http_server.h"

namespace testsupport {

class StormTest : public DownloadRunTest {
 protected:
  // The shape of every checking agent of the test; change it before `archiveOf`.
  CheckingAgent agentShape;

  std::string agentRecord() const { return scratch.file("agent-record"); }

  // A reply with the checking agent of `version` and its tag, dripped in pieces of
  // `dripBytes` every `dripInterval` (0: at once).
  Reply archiveOf(const std::string& version, size_t dripBytes = 0,
                  std::chrono::milliseconds dripInterval = std::chrono::milliseconds(0));

  // Makes the cache hold the complete agent `version`, current for its tag, as a run of the
  // installer leaves it.
  void plantAgent(const std::string& version);

  // Removes everything in the run's temporary area (what killed runs left).
  void clearTmp() const;

 private:
  std::map<std::string, std::string> archives_;  // version -> archive bytes
};

}  // namespace testsupport

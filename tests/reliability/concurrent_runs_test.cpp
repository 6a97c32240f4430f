// Concurrent runs: two to four installers of the same user started at once, on an empty and
// on a stale cache. Every run ends with a complete agent started, none removes or overwrites
// an agent that another is unpacking or starting, the cache ends current, and a run that had
// to wait for another says so.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/temp_dir.h"
#include "support/reliability.h"
#include "support/storm_fixture.h"
#include "support/system_log.h"

namespace {

using testsupport::AgentStarts;
using testsupport::BundleBuilder;
using testsupport::CacheState;
using testsupport::RunResult;
using testsupport::TestHttpServer;

class ConcurrentRuns : public testsupport::StormTest {};

TEST_F(ConcurrentRuns, EveryRunStartsACompleteAgent) {
  const int repeats = testsupport::reliabilityCount(1, 4);
  agentShape.payloadFiles = 400;
  agentShape.payloadBytes = 1500;
  agentShape.runSeconds = 0.2;  // the agent runs on while the others decide

  TestHttpServer server;
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  std::vector<std::vector<std::string>> rows;
  int rounds = 0, held = 0, runsTotal = 0, completeTotal = 0, partialTotal = 0, waited = 0;
  int serial = 0;

  for (int repeat = 0; repeat < repeats; ++repeat) {
    for (int installers : {2, 3, 4}) {
      if (!testsupport::fullReliabilityRun() && installers == 3) continue;
      for (bool stale : {false, true}) {
        SCOPED_TRACE(std::to_string(installers) + " installers, " +
                     (stale ? "stale cache" : "empty cache"));
        ++rounds;
        std::string version = "v" + std::to_string(++serial + 1);
        if (stale) {
          plantAgent("v1");
        } else {
          removeTree(cacheDir());
        }
        server.serve("/agent.zip", archiveOf(version, 32768, std::chrono::milliseconds(10)));
        std::remove(agentRecord().c_str());

        auto start = std::chrono::steady_clock::now();
        std::vector<std::unique_ptr<testsupport::RunningProgram>> running;
        for (int i = 0; i < installers; ++i) {
          running.push_back(
              testsupport::startProgram(bundle.executablePath(), {"Setup"}, installerOptions()));
        }
        int succeeded = 0, waiting = 0;
        std::string failures;
        for (auto& run : running) {
          RunResult result = run->finish();
          if (result.exited && result.exitCode == 0)
            ++succeeded;
          else
            failures += result.describe() + "\n";
          for (const std::string& line : testsupport::splitConsole(result.err).log)
            if (line == "Waiting for another installer to finish") ++waiting;
        }
        double ms = testsupport::millisecondsSince(start);
        AgentStarts starts = testsupport::readAgentStarts(agentRecord());
        CacheState cache = testsupport::inspectCache(cacheDir());

        bool ok = succeeded == installers && starts.complete == installers && starts.partial == 0 &&
                  cache.agent && cache.complete && cache.version == version &&
                  cache.currentOrEmpty() && tempEntries().empty();
        for (const std::string& started : starts.versions) ok = ok && started == version;
        EXPECT_TRUE(ok) << succeeded << " of " << installers
                        << " succeeded; starts: " << starts.complete << " complete, "
                        << starts.partial << " partial; cache: " << cache.describe() << "\n"
                        << failures;
        if (ok) ++held;
        runsTotal += installers;
        completeTotal += starts.complete;
        partialTotal += starts.partial;
        waited += waiting;
        rows.push_back({std::to_string(installers), stale ? "stale (v1)" : "empty",
                        std::to_string(succeeded) + " of " + std::to_string(installers),
                        std::to_string(starts.complete), std::to_string(starts.partial),
                        std::to_string(waiting), cache.describe(),
                        testsupport::formatMilliseconds(ms), ok ? "yes" : "NO"});
        clearTmp();
      }
    }
  }

  testsupport::ReliabilitySection section("50-concurrent-runs", "Concurrent runs");
  section.paragraph(
      "Two to four installers of the same user started at once against one server that drips "
      "a new version of the agent (400 files), on an empty cache and on a cache holding an "
      "older agent. A round holds when every run ends with 0 and starts a complete agent of "
      "the new version, no partial agent starts, and the cache ends current with nothing left "
      "over. " +
      std::to_string(held) + " of " + std::to_string(rounds) + " rounds held; " +
      std::to_string(runsTotal) + " runs, " + std::to_string(completeTotal) +
      " complete agents started, " + std::to_string(partialTotal) + " partial; " +
      std::to_string(waited) +
      " runs said they were waiting for another installer (\"Waiting for another installer to "
      "finish\" in the window and the log).");
  section.table({"installers", "cache before", "runs ended with 0", "complete starts",
                 "partial starts", "runs that waited", "cache after", "time (ms)", "held"},
                rows);
}

TEST_F(ConcurrentRuns, ARunningAgentKeepsItsFilesWhenAnotherRunFindsANewVersion) {
  // A second run against a newer archive waits for the first run's agent to end.
  agentShape.runSeconds = 1;
  agentShape.extraShell = "echo \"end $(cat \"$d/version\")\" >> '" + agentRecord() + "'";
  TestHttpServer server;
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  server.serve("/agent.zip", archiveOf("v2"));
  auto first = testsupport::startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(testsupport::waitForFile(agentRecord(), std::chrono::seconds(30)));
  server.serve("/agent.zip", archiveOf("v3"));
  auto second = testsupport::startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  for (auto* run : {first.get(), second.get()}) EXPECT_EQ(run->finish().exitCode, 0);
  EXPECT_EQ(testsupport::readFile(agentRecord()), "complete v2\nend v2\ncomplete v3\nend v3\n");

  // A suite's agent starts the installer again: the inner run starts the current agent too.
  agentShape.extraShell = "[ -n \"$INNER\" ] || INNER=1 '" + bundle.executablePath() + "' Setup";
  server.serve("/agent.zip", archiveOf("v4"));
  EXPECT_EQ(runInstaller(bundle, {"Setup"}).exitCode, 0);
  EXPECT_EQ(testsupport::readFile(agentRecord()),
            "complete v2\nend v2\ncomplete v3\nend v3\ncomplete v4\ncomplete v4\n");

  // One that needs another agent cannot have it while its own agent runs: it says so, at once.
  std::string innerErr = scratch.file("inner-err");
  agentShape.extraShell = "[ -n \"$INNER\" ] || INNER=1 VL_INTERNAL_INSTALL_AGENT_URL='" +
                          server.url("/v5.zip") + "' '" + bundle.executablePath() + "' Setup 2>'" +
                          innerErr + "'";
  server.serve("/agent.zip", archiveOf("v6"));
  server.serve("/v5.zip", archiveOf("v5"));
  EXPECT_EQ(runInstaller(bundle, {"Setup"}).exitCode, 0);
  EXPECT_NE(testsupport::readFile(innerErr).find("The installer that started this one is using"),
            std::string::npos)
      << testsupport::readFile(innerErr);
}

}  // namespace

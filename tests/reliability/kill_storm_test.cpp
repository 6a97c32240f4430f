// The kill storm: runs of the download road killed with SIGKILL at random moments of the
// download, the unpacking and the hand-over, each followed by a normal run. The normal run
// always ends with a complete agent started, and no run ever starts a partial agent. The
// server's version changes every few rounds, so that kills also hit the replacement of a
// stale agent.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/reliability.h"
#include "support/storm_fixture.h"

namespace {

using testsupport::AgentStarts;
using testsupport::BundleBuilder;
using testsupport::CacheState;
using testsupport::RunResult;
using testsupport::TestHttpServer;

class KillStorm : public testsupport::StormTest {};

TEST_F(KillStorm, NormalRunAfterAKillAlwaysStartsACompleteAgent) {
  const uint64_t seed = testsupport::reliabilitySeed();
  const int rounds = testsupport::reliabilityCount(6, 80);
  std::mt19937_64 random(seed);
  agentShape.payloadFiles = 600;  // unpacking takes a while too
  agentShape.payloadBytes = 1500;

  TestHttpServer server;
  auto serveVersion = [&](const std::string& version) {
    server.serve("/agent.zip", archiveOf(version, 16384, std::chrono::milliseconds(15)));
  };
  serveVersion("v1");
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));

  // How long a whole run with a download takes: the span in which the kills fall.
  RunResult first = runInstaller(bundle, {"Setup"});
  ASSERT_EQ(first.exitCode, 0) << first.describe();
  serveVersion("v2");
  auto start = std::chrono::steady_clock::now();
  RunResult calibration = runInstaller(bundle, {"Setup"});
  double span = testsupport::millisecondsSince(start);
  ASSERT_EQ(calibration.exitCode, 0) << calibration.describe();

  int normalHeld = 0, killedRuns = 0, endedFirst = 0, leftTempDirs = 0, partialStarts = 0;
  std::vector<double> killMoments, normalTimes;
  std::vector<std::vector<std::string>> failures;
  std::string version = "v2";  // what the cache holds now
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    // Three rounds in four find a stale cache and download; the fourth finds it current.
    if (round % 4 != 3) {
      version = version == "v1" ? "v2" : "v1";
      serveVersion(version);
    }
    std::remove(agentRecord().c_str());

    // The killed run.
    std::uniform_real_distribution<double> moment(0.0, span * 1.1);
    double killAt = moment(random);
    killMoments.push_back(killAt);
    auto killed = testsupport::startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(killAt));
    killed->signal(SIGKILL);
    RunResult killedResult = killed->finish();
    if (killedResult.signaled && killedResult.termSignal == SIGKILL)
      ++killedRuns;
    else
      ++endedFirst;                              // the run was over before the kill came
    if (!tempEntries().empty()) ++leftTempDirs;  // SIGKILL allows no clean-up
    clearTmp();
    // The killed run's unzip or agent, which SIGKILL did not reach, finish on their own
    // (bounded); the next run must cope with whatever they leave.
    for (int i = 0; i < 200 && kill(-killed->pid(), 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The normal run.
    auto normalStart = std::chrono::steady_clock::now();
    RunResult normal = runInstaller(bundle, {"Setup"});
    normalTimes.push_back(testsupport::millisecondsSince(normalStart));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    AgentStarts starts = testsupport::readAgentStarts(agentRecord());
    partialStarts += starts.partial;
    CacheState cache = testsupport::inspectCache(cacheDir());

    bool ok = normal.exited && normal.exitCode == 0 && starts.partial == 0 &&
              starts.complete >= 1 && !starts.versions.empty() &&
              starts.versions.back() == version && cache.agent && cache.complete &&
              cache.version == version && cache.currentOrEmpty() && tempEntries().empty();
    EXPECT_TRUE(ok) << "killed after " << killAt << " ms; " << normal.describe()
                    << "\nstarts: " << starts.complete << " complete, " << starts.partial
                    << " partial; cache: " << cache.describe();
    if (ok) {
      ++normalHeld;
    } else {
      failures.push_back({std::to_string(round), testsupport::formatMilliseconds(killAt),
                          normal.exited ? std::to_string(normal.exitCode) : "no exit",
                          std::to_string(starts.partial), cache.describe()});
    }
    clearTmp();
  }

  testsupport::ReliabilitySection section("30-kill-storm", "Kill storm");
  section.paragraph(
      "Runs of the download road killed with SIGKILL at a random moment between their start "
      "and 1.1 times the length of a whole run (" +
      testsupport::formatMilliseconds(span) +
      " ms here: a dripped download of an agent of 600 files, its unpacking and the "
      "hand-over), each followed by a normal run. The server offers "
      "another version in three rounds of four, so that the killed run mostly replaces a stale "
      "agent, and finds it current in the fourth. Seed " +
      std::to_string(seed) + ".");
  section.table(
      {"figure", "value"},
      {{"runs killed", std::to_string(killedRuns)},
       {"runs over before the kill came", std::to_string(endedFirst)},
       {"kill moments (ms after start: min / median / max)",
        testsupport::describeTimes(killMoments)},
       {"normal runs that started a complete agent of the served version",
        std::to_string(normalHeld) + " of " + std::to_string(rounds)},
       {"partial agents started (any run)", std::to_string(partialStarts)},
       {"normal run time (ms: min / median / max)", testsupport::describeTimes(normalTimes)},
       {"killed runs that left their temporary directory (no clean-up is possible "
        "after SIGKILL)",
        std::to_string(leftTempDirs)}});
  if (!failures.empty()) {
    section.table({"round", "killed at (ms)", "normal run's exit", "partial starts", "cache"},
                  failures);
  }
}

}  // namespace

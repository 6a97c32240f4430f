// Agents that know whether they are whole, and what a run left in the cache.
//
// For the reliability runs (tests/reliability): a storm of killed, interrupted or concurrent
// runs must never start half an agent, and must leave the cache either current or empty. A
// checking agent's archive holds a version file and many payload files; when the agent
// starts it counts them and appends "complete <version>" or "partial <version>" to its record
// file, then waits a while (so that a signal may come while it runs) and exits 0.
//
// Example:
//   std::string zip = makeCheckingAgentZip(scratch.file("v1.zip"), "v1", record, {});
//   ... run the installer ...
//   AgentStarts starts = readAgentStarts(record);
//   EXPECT_EQ(starts.partial, 0);
//   CacheState cache = inspectCache(cacheDir);
//   EXPECT_TRUE(cache.currentOrEmpty()) << cache.describe();
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct CheckingAgent {
  int payloadFiles = 200;   // how many payload files the archive holds
  int payloadBytes = 2000;  // the size of each
  double runSeconds = 0.0;  // how long the agent runs after its check
  std::string extraShell;   // more sh lines, run after the wait
};

// Writes the archive of a checking agent of `version` to `archivePath`; true on success.
// Its tag on the test servers is "\"<version>\"" (see `tagOf`).
bool makeCheckingAgentZip(const std::string& archivePath, const std::string& version,
                          const std::string& recordPath, const CheckingAgent& agent);
std::string tagOf(const std::string& version);

struct AgentStarts {
  int complete = 0;
  int partial = 0;
  std::vector<std::string> versions;  // in start order
};
AgentStarts readAgentStarts(const std::string& recordPath);

// What a cache directory holds.
struct CacheState {
  bool agent = false;     // the agent directory holds an entry file
  bool complete = false;  // ... and every payload file
  std::string version;    // the agent's version file
  bool hasTag = false;
  std::string tag;                     // the validation string
  std::vector<std::string> leftovers;  // entries besides the agent directory, tag and lock
  // No agent, or a complete one whose tag is its own; and nothing left over.
  bool currentOrEmpty() const;
  std::string describe() const;
};
CacheState inspectCache(const std::string& cacheDir);

}  // namespace testsupport

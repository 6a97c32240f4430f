#include "support/agent_check.h"

#include <cstdint>
#include <map>
#include <regex>

#include "support/bundle_builder.h"
#include "support/scratch_dir.h"

namespace testsupport {

namespace {

const char kLockFile[] = ".lock";

std::string payloadName(int index) { return "payload/" + std::to_string(index); }

// Letters that do not repeat, so that the archive does not shrink much and its download
// takes a while.
std::string payloadContent(int index, int bytes) {
  std::string content = std::to_string(index) + ":";
  uint32_t state = 2463534242u + static_cast<uint32_t>(index);
  while (static_cast<int>(content.size()) < bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    content += static_cast<char>('a' + state % 26);
  }
  content.resize(bytes);
  return content;
}

}  // namespace

std::string tagOf(const std::string& version) { return "\"" + version + "\""; }

bool makeCheckingAgentZip(const std::string& archivePath, const std::string& version,
                          const std::string& recordPath, const CheckingAgent& agent) {
  std::map<std::string, std::string> files;
  files["version"] = version;
  for (int i = 1; i <= agent.payloadFiles; ++i)
    files[payloadName(i)] = payloadContent(i, agent.payloadBytes);
  std::string script =
      "#!/bin/sh\n"
      "# A checking agent: are all of its files there?\n"
      "d=$(dirname \"$0\")\n"
      "v=$(cat \"$d/version\" 2>/dev/null)\n"
      "n=$(ls \"$d/payload\" 2>/dev/null | wc -l)\n"
      "last=$(wc -c < \"$d/payload/" +
      std::to_string(agent.payloadFiles) +
      "\" 2>/dev/null)\n"
      "if [ \"$n\" -eq " +
      std::to_string(agent.payloadFiles) +
      " ] && [ \"$last\" = " + std::to_string(agent.payloadBytes) +
      " ]; then s=complete; else s=partial; fi\n"
      "echo \"$s $v\" >> '" +
      recordPath + "'\n";
  if (agent.runSeconds > 0) script += "sleep " + std::to_string(agent.runSeconds) + "\n";
  script += agent.extraShell + "\nexit 0\n";
  files["install"] = script;
  return makeZip(archivePath, files);
}

AgentStarts readAgentStarts(const std::string& recordPath) {
  AgentStarts starts;
  for (const std::string& line : splitLines(readFile(recordPath))) {
    size_t blank = line.find(' ');
    std::string state = line.substr(0, blank);
    std::string version = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (state == "complete")
      ++starts.complete;
    else
      ++starts.partial;
    starts.versions.push_back(version);
  }
  return starts;
}

bool CacheState::currentOrEmpty() const {
  if (!leftovers.empty()) return false;
  if (!agent) return true;
  return complete && hasTag && tag == tagOf(version);
}

std::string CacheState::describe() const {
  std::string text;
  if (!agent)
    text = "no agent";
  else
    text = std::string(complete ? "complete" : "PARTIAL") + " agent " + version;
  text += hasTag ? ", tag " + tag : ", no tag";
  for (const std::string& entry : leftovers) text += ", left over: " + entry;
  return text;
}

CacheState inspectCache(const std::string& cacheDir) {
  CacheState state;
  std::string agentDir = cacheDir + "/installagent";
  state.agent = pathExists(agentDir + "/install");
  if (state.agent) {
    state.version = readFile(agentDir + "/version");
    std::vector<std::string> payload = listDir(agentDir + "/payload");
    // The archive's size is in its script; count against the highest-numbered file.
    std::string script = readFile(agentDir + "/install");
    std::smatch match;
    int expected = -1;
    if (std::regex_search(script, match, std::regex("-eq ([0-9]+) \\]"))) {
      expected = std::stoi(match[1]);
    }
    state.complete =
        expected > 0 && static_cast<int>(payload.size()) == expected && !state.version.empty();
  }
  state.hasTag = pathExists(cacheDir + "/.validatestring");
  if (state.hasTag) state.tag = readFile(cacheDir + "/.validatestring");
  for (const std::string& entry : listDir(cacheDir)) {
    if (entry == "installagent" || entry == ".validatestring" || entry == kLockFile) continue;
    state.leftovers.push_back(entry);
  }
  // An agent directory left empty by a run that removed a stale agent is no agent at all.
  if (!state.agent) {
    for (const std::string& entry : listDir(agentDir))
      state.leftovers.push_back("installagent/" + entry);
  }
  return state;
}

}  // namespace testsupport

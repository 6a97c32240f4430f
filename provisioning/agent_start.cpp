#include "provisioning/agent_start.h"

#include "host/files.h"
#include "host/system_log.h"
#include "host/termination.h"
#include "platform/constants.h"
#include "platform/shell.h"

namespace {

const char kShell[] = "/bin/sh";

// The words that "/bin/sh" is given for `agentFile`. A relative path that starts with "-" gets
// "./" in front, so that sh does not take it for an option.
std::vector<std::string> installAgentWords(const std::string& agentFile,
                                           const AgentArguments& arguments) {
  // The agent gets the bundle's archive as the words "<bundle location>/bundle.zip", byte for
  // byte, whatever the location ends in: not a path normalised by joining.
  std::vector<std::string> words = {
      operand_path(agentFile), "-installbundle",
      operand_path(arguments.bundleLocation + PATH_SEPARATOR + "bundle.zip")};
  words.insert(words.end(), arguments.userArguments.begin(), arguments.userArguments.end());
  return words;
}

}  // namespace

host::Process startInstallAgent(const std::string& agentFile, const AgentArguments& arguments) {
  if (host::terminationSignal() != 0 || host::isDirectory(agentFile)) return host::Process();
  host::Process agent = host::Process::start(kShell, installAgentWords(agentFile, arguments));
  if (!agent.started())
    host::systemLog(
        "%s",
        host::systemError("Could not start /bin/sh for the install agent", agent.error()).c_str());
  return agent;
}

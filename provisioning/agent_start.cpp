#include "provisioning/agent_start.h"

#include "host/files.h"
#include "host/system_log.h"
#include "host/termination.h"
#include "platform/constants.h"
#include "platform/shell.h"

host::Process startInstallAgent(const std::string& agentFile, const AgentArguments& arguments) {
  if (host::terminationSignal() != 0 || host::isDirectory(agentFile)) return host::Process();
  // A relative path that starts with "-" gets "./", so that sh does not take it for an option.
  // The bundle's archive is "<bundle location>/bundle.zip" byte for byte, whatever the location
  // ends in: not a path normalised by joining.
  std::vector<std::string> words = {
      operand_path(agentFile), "-installbundle",
      operand_path(arguments.bundleLocation + PATH_SEPARATOR + "bundle.zip")};
  words.insert(words.end(), arguments.userArguments.begin(), arguments.userArguments.end());
  host::Process agent = host::Process::start("/bin/sh", words);
  if (!agent.started())
    host::systemLog(
        "%s",
        host::systemError("Could not start /bin/sh for the install agent", agent.error()).c_str());
  return agent;
}

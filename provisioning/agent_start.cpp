#include "provisioning/agent_start.h"

#include "host/files.h"
#include "host/system_log.h"
#include "host/termination.h"
#include "platform/constants.h"
#include "platform/shell.h"

host::Process startInstallAgent(const std::string& agentFile, const AgentArguments& arguments) {
  if (host::terminationSignal() != 0 || host::isDirectory(agentFile)) return host::Process();
  // "./" before a relative path that starts with "-", or sh takes it for an option; the archive
  // is "<bundle location>/bundle.zip" byte for byte, not a path normalised by joining.
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

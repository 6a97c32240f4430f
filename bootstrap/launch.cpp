#include "bootstrap/launch.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <exception>
#include <optional>

#include "bootstrap/constants.h"
#include "download_app/download_entry.h"
#include "host/process.h"
#include "platform/shell.h"
#include "platform/termination.h"

std::string installAgentCommandLine(const std::string& commandPrefix,
                                    const std::string& bundleLocation, int argc,
                                    const char* argv[]) {
  std::string options = " -installbundle ";
  // The archive's path reaches the agent unchanged, whatever it holds.
  options += shell_word(operand_path(bundleLocation + PATH_SEPARATOR + "bundle.zip"));
  if (argc > 1) options += " " + argv2cmdline(argc, argv);
  return commandPrefix + options;
}

bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& commandPrefix,
                              const std::string& bundleLocation, int argc, const char* argv[],
                              MessageCallback report) {
  // One agent per run: the download window may already have started it.
  if (std::optional<host::Process> agent = takeHandedOverAgent()) {
    // Ctrl-C or a kill of the installer reaches the agent; the run ends after the agent.
    int status = waitForChild(agent->pid());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string commandLine = installAgentCommandLine(commandPrefix, bundleLocation, argc, argv);
  // sh "runs" a directory as an empty script and reports success; no agent would have run.
  struct stat info;
  if (stat(agentPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return false;
  int status;
  try {
    status = call_system(agentPath, commandLine);
  } catch (const std::exception&) {
    report("Failed to start the install agent", true);
    return false;
  }
  return status == 0;
}

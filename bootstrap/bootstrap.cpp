#include "bootstrap/bootstrap.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <utility>

#include "download_app/download_entry.h"
#include "host/termination.h"
#include "platform/location.h"
#include "platform/temp_dir.h"
#include "provisioning/endpoint_file.h"
#include "provisioning/source_agent.h"

constexpr char kUnitTestSwitch[] = "__VL_BOOTSTRAP_INSTALLER_UNITTEST__";

int extractPayloadToDir(std::string /*dir*/, bool /*flag*/, MessageCallback /*report*/) {
  return 0;
}

bool fireInstallAgentWithArgs(const std::string& agentPath, std::optional<host::Process> running,
                              const AgentArguments& arguments, MessageCallback report) {
  host::Process agent = running ? std::move(*running) : startInstallAgent(agentPath, arguments);
  // A run asked to stop, or an agent that is a directory, starts nothing and says nothing.
  if (!agent.started() && agent.error() != 0) report("Failed to start the install agent", true);
  int status = agent.wait();
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report) {
  // Made first and destroyed last: a termination signal at any point of the run, the removal
  // of the temporary directory included, lets the run end through its own cleanup.
  host::TerminationGuard terminationGuard;
  // Declared before the rest of the run, so destroyed after it: the directory outlives the agent.
  TempDir tempDir("tmp_install_dir");
  std::string payloadDir = tempDir.getDir();
  if (getenv(kUnitTestSwitch) != nullptr) {
    payloadDir = getDirectoryOfExecutable();
  } else if (payloadDir.empty()) {
    // Never beside the bundle instead: unpacking there would overwrite the user's files.
    std::string tried;
    for (const std::string& dir : tempDir.tried()) tried += (tried.empty() ? "" : " or ") + dir;
    report("Failed to make a private temporary directory in " + tried + ".", true);
    return -1;
  }

  std::string bundleLocation = getBundleLocation();

  int code = extractPayloadToDir(payloadDir, false, report);
  if (code != 0) {
    report(
        "Internal error: Failed to initialize application installer (" + std::to_string(code) + ")",
        true);
    return -1;
  }

  std::string endpointUrl = readEndpointUrlFile(endpointUrlFilePath(bundleLocation), report);

  // Every start of the agent gets the user's arguments byte for byte, each a word of its own.
  AgentArguments arguments{bundleLocation, {}};
  for (int i = 1; i < argc; ++i) arguments.userArguments.emplace_back(argv[i] ? argv[i] : "");

  // A run asked to stop obtains no agent; what it made goes with the temporary directory.
  if (host::terminationSignal() != 0) return -1;
  SourcedAgent agent = sourceInstallAgent(
      payloadDir, endpointUrl,
      [&](const std::string& to, const std::string& from, std::shared_ptr<AgentCache> cache) {
        return downloadInstallAgentFromVL(to.c_str(), from.c_str(), arguments, std::move(cache),
                                          report);
      },
      report);
  if (agent.path.empty()) return -1;

  if (!fireInstallAgentWithArgs(agent.path, std::move(agent.running), arguments, report)) {
    report("Application install was not successful.", true);
    return -1;
  }
  return 0;
}

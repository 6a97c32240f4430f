#include "bootstrap/bootstrap.h"

#include <stdlib.h>

#include "bootstrap/constants.h"
#include "bootstrap/launch.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/temp_dir.h"
#include "platform/termination.h"
#include "provisioning/endpoint_file.h"
#include "provisioning/source_agent.h"

namespace {

const char kUnitTestSwitch[] = "__VL_BOOTSTRAP_INSTALLER_UNITTEST__";

}  // namespace

int extractPayloadToDir(std::string /*dir*/, bool /*flag*/, MessageCallback /*report*/) {
  return 0;
}

int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report) {
  // Made first and destroyed last: a termination signal at any point of the run, the removal
  // of the temporary directory included, lets the run end through its own cleanup.
  TerminationGuard terminationGuard;
  // Declared before everything else of the run, so that it is destroyed after it: the
  // directory outlives the agent's command.
  TempDir tempDir("tmp_install_dir");
  std::string payloadDir = tempDir.getDir();
  if (payloadDir.empty() || getenv(kUnitTestSwitch) != nullptr)
    payloadDir = getDirectoryOfExecutable();

  std::string bundleLocation = getBundleLocation();

  int code = extractPayloadToDir(payloadDir, false, report);
  if (code != 0) {
    report(
        "Internal error: Failed to initialize application installer (" + std::to_string(code) + ")",
        true);
    return -1;
  }

  std::string endpointUrl =
      readEndpointUrlFile(bundleLocation + PATH_SEPARATOR + "installAgentURL.txt", report);

  // A run asked to stop obtains no agent; what it made goes with the temporary directory.
  if (terminationSignal() != 0) return -1;
  std::string agentPath = sourceInstallAgent(payloadDir, endpointUrl, report);
  if (agentPath.empty()) return -1;

  // The agent's path reaches sh unchanged, whatever it holds.
  std::string commandPrefix = "sh " + shell_word(operand_path(agentPath));
  if (!fireInstallAgentWithArgs(agentPath, commandPrefix, bundleLocation, argc, argv, report)) {
    report("Application install was not successful.", true);
    return -1;
  }
  return 0;
}

#include "bootstrap/bootstrap.h"

#include <stdlib.h>

#include "bootstrap/constants.h"
#include "bootstrap/launch.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/temp_dir.h"
#include "provisioning/endpoint_file.h"
#include "provisioning/source_agent.h"

namespace {

const char kUnitTestSwitch[] = "__VL_BOOTSTRAP_INSTALLER_UNITTEST__";

}  // namespace

int extractPayloadToDir(std::string /*dir*/, bool /*flag*/, MessageCallback /*report*/) {
  return 0;
}

int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report) {
  // Declared first, so that it is destroyed last: the directory outlives the agent's command.
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

  std::string agentPath = sourceInstallAgent(payloadDir, endpointUrl, report);
  if (agentPath.empty()) return -1;

  // The agent's path reaches sh unchanged, whatever it holds.
  std::string commandPrefix = "sh " + shell_word(agentPath);
  if (!fireInstallAgentWithArgs(agentPath, commandPrefix, bundleLocation, argc, argv, report)) {
    report("Application install was not successful.", true);
    return -1;
  }
  return 0;
}

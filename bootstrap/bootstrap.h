// The bootstrap driver: one run of the installer, from the payload directory to the agent. `main`
// calls `bootstrapInstallerMainFunc` once, on the main thread, with the process's arguments and the
// console reporter. The driver only orders the steps: locations, the endpoint URL file, sourcing
// the agent (with the download window when the installer carries none) and starting it are other
// parts' work.
#pragma once

#include <optional>
#include <string>

#include "host/process.h"
#include "provisioning/agent_start.h"
#include "provisioning/message.h"

// Runs the whole sequence: 0 when the install agent ran and ended with status 0, -1 otherwise.
// The run's temporary directory is removed before it returns; a run that cannot make one fails,
// naming where it tried, but for "__VL_BOOTSTRAP_INSTALLER_UNITTEST__" in the environment, which
// makes the directory that holds the bundle (platform/location.h `getDirectoryOfExecutable`)
// the payload directory instead.
int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report);

// The payload step: this installer carries no payload, so it does nothing and returns 0.
int extractPayloadToDir(std::string dir, bool flag, MessageCallback report);

// Waits for `running`, the agent the download window started, or else starts the agent at
// `agentPath` (provisioning/agent_start.h) and waits for it: true when it ended with status 0.
// Reports "Failed to start the install agent" when no process could be made for it.
bool fireInstallAgentWithArgs(const std::string& agentPath, std::optional<host::Process> running,
                              const AgentArguments& arguments, MessageCallback report);

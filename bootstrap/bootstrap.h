// The bootstrap driver: one run of the installer, from the payload directory to the agent, called
// once by `main` on the main thread. It only orders the steps: locations, the endpoint URL file,
// sourcing the agent (with the download window when none is carried) and starting it.
#pragma once

#include <optional>
#include <string>

#include "host/process.h"
#include "provisioning/agent_start.h"
#include "provisioning/message.h"

// Runs the whole sequence: 0 when the install agent ran and ended with status 0, -1 otherwise.
// The run's temporary directory is removed before it returns; a run that cannot make one fails,
// naming where it tried, but with "__VL_BOOTSTRAP_INSTALLER_UNITTEST__" in the environment the
// directory that holds the bundle (`getDirectoryOfExecutable`) is the payload directory instead.
int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report);

// The payload step: this installer carries no payload, so it does nothing and returns 0.
int extractPayloadToDir(std::string dir, bool flag, MessageCallback report);

// Waits for `running`, the agent the download window started, or else starts the agent at
// `agentPath` (provisioning/agent_start.h) and waits for it: true when it ended with status 0.
// Reports "Failed to start the install agent" when no process could be made for it.
bool fireInstallAgentWithArgs(const std::string& agentPath, std::optional<host::Process> running,
                              const AgentArguments& arguments, MessageCallback report);

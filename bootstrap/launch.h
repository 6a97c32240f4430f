// Launching the install agent through the shell, and waiting for it.
//
// The last step of the bootstrap driver, on the main thread; it blocks while the agent runs.
// The command line is "sh <agent> -installbundle <bundle location>/bundle.zip <user args>":
// paths reach sh unchanged, the user's arguments are split by the shell.
#pragma once

#include <string>

#include "bootstrap/message.h"

// Completes `commandPrefix` ("sh " and the quoted agent path) with the bundle archive's path
// and the user's arguments argv[1..], runs it and returns true when its status is 0. When the
// download window has already started the agent in this run, no second one is started: the
// running one is waited for, and true means it exited with status 0. An agent path that is a
// directory gives false without running anything. Reports "Failed to start the install agent"
// only when the launch itself raised an error.
bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& commandPrefix,
                              const std::string& bundleLocation, int argc, const char* argv[],
                              MessageCallback report);

// The complete command line that `fireInstallAgentWithArgs` runs.
std::string installAgentCommandLine(const std::string& commandPrefix,
                                    const std::string& bundleLocation, int argc,
                                    const char* argv[]);

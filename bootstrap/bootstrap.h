// The bootstrap driver: one run of the installer, from the payload directory to the agent.
//
// `main` calls `bootstrapInstallerMainFunc` once, on the main thread, with the process's
// arguments and the console reporter. The driver only orders the steps: locations, the
// endpoint URL file, sourcing the agent and launching it are other parts' work.
#pragma once

#include <string>

#include "bootstrap/message.h"

// Runs the whole sequence and returns 0 when the install agent ran and ended with status 0,
// -1 otherwise. The run's temporary directory is removed before it returns. When the
// environment holds "__VL_BOOTSTRAP_INSTALLER_UNITTEST__" (any value), the payload directory
// is the executable's directory instead of the temporary one.
int bootstrapInstallerMainFunc(int argc, const char* argv[], MessageCallback report);

// The payload step: this installer carries no payload, so it does nothing and returns 0.
int extractPayloadToDir(std::string dir, bool flag, MessageCallback report);

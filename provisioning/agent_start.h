// Starting the install agent, one way for every road: "/bin/sh" with the words "<agent file>
// -installbundle <bundle location>/bundle.zip <the user's arguments…>", each a word of its own, so
// every argument reaches the agent byte for byte. The driver starts a carried agent this way, the
// download window the cached one; the driver waits for either. The agent inherits the installer's
// environment, working directory and standard streams.
#pragma once

#include <string>
#include <vector>

#include "host/process.h"

// What every start of the agent is given besides the agent's own file.
struct AgentArguments {
  std::string bundleLocation;              // the directory that holds "bundle.zip"
  std::vector<std::string> userArguments;  // the installer's arguments after its program name
};

// Starts the agent without waiting for it. Nothing is started when the run has been asked to
// stop, or when `agentFile` is a directory (sh would take it for an empty script and report
// success). A shell that cannot be started is written to the system log with its cause.
host::Process startInstallAgent(const std::string& agentFile, const AgentArguments& arguments);

// The download entry: runs the download window until the agent is handed over or the window
// is closed.
//
// Called by provisioning on the main thread when the installer carries no agent. The session
// keeps the archive in its own temporary file in the directory of `to` (the run's temporary
// directory), so nothing is left behind when the driver removes that directory.
// For tests, "__VL_DOWNLOAD_IDLE_TIMEOUT_MS__" (milliseconds) shortens how long the download
// waits for a silent server before it fails. For the benchmark, "__VL_MAIN_QUEUE_REPORT__"
// names a file to which each run of the window appends one line, "main-queue closures: N",
// the number of times the download woke the main thread.
#pragma once

#include <optional>
#include <string>

#include "bootstrap/message.h"
#include "host/process.h"

// The archive's destination and the URL to download, set by the entry before the window runs.
extern std::string downloadTo;
extern std::string downloadFrom;
// The argument vector the application loop is started with: always none.
extern const char** EMPTY_ARGV;

// Downloads the agent archive from `from` (or VL_INTERNAL_INSTALL_AGENT_URL when set) with the
// download window. True exactly when the window handed over to an agent.
bool downloadInstallAgentFromVL(const char* to, const char* from, MessageCallback callback);

// Runs the application loop with the window; non-zero after a hand-over. Its arguments are
// ignored.
int CallNSApplicationMain(int argc, const char** argv);

// The agent the download window started in this run, if any (taken once). The driver waits for
// it instead of starting a second agent.
std::optional<host::Process> takeHandedOverAgent();

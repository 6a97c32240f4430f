// The download entry: runs the download window until the agent is handed over or the window is
// closed. Called through provisioning by the bootstrap driver, on the main thread, when the
// installer carries no agent. For tests, in milliseconds: "__VL_DOWNLOAD_IDLE_TIMEOUT_MS__" is how
// long the download waits for a silent server before it fails, "__VL_DOWNLOAD_RETRY_SECOND_MS__"
// how long a second of the waits between its attempts lasts. For the benchmark,
// "__VL_MAIN_QUEUE_REPORT__" names a file to which each run of the window appends one line,
// "main-queue closures: N", the number of times the download woke the main thread.
#pragma once

#include <memory>
#include <optional>

#include "download_app/main_interface.h"
#include "host/process.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_start.h"
#include "provisioning/message.h"

// Downloads the agent archive from `from` (or VL_INTERNAL_INSTALL_AGENT_URL when set; blanks and
// line ends around it are dropped) with the download window, and starts the agent with `agent`.
// Gives the agent it handed over to, for the caller to wait for, or nothing. `cache` is the
// run's. Reports nothing through `callback`: the window shows every failure, a key file that
// holds no key included.
std::optional<host::Process> downloadInstallAgentFromVL(const char* to, const char* from,
                                                        const AgentArguments& agent,
                                                        std::shared_ptr<AgentCache> cache,
                                                        MessageCallback callback);

// Runs the application loop with `ui` until it stops, then closes the window if it is still
// shown and waits for the session's delegate queue: non-zero exactly after a hand-over. The
// argument count and vector are the loop's own, not read: the user's go to the agent.
int CallNSApplicationMain(int argc, const char** argv, download_app::MainInterface& ui);

// Where this run's install agent comes from, in order: a ready agent "InstallerForMac" in the
// bundle's resources; an agent archive carried there ("InstallAgent.zip", else the first
// "InstallAgent_*.zip" listed), unpacked into the payload directory; otherwise a download into the
// per-user cache, which the caller provides (the download window). Called once per run by the
// driver, on the main thread; a download runs on this thread until it ends.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/process.h"
#include "provisioning/agent_cache.h"
#include "provisioning/message.h"

struct SourcedAgent {
  std::string path;  // the file to run with sh; empty when no agent could be provided
  std::optional<host::Process> running;  // the agent, when the download already started it
};

// Downloads the agent archive from the endpoint `from` and unpacks it into `cache`, the run's.
// `to`, a name in the payload directory, is never written: its directory holds the download's
// temporary file. Gives the agent it started, or nothing.
using AgentDownload = std::function<std::optional<host::Process>(
    const std::string& to, const std::string& from, std::shared_ptr<AgentCache> cache)>;

// This run's agent. A carried archive not unpacked: "Failed to initialize the install agent."
SourcedAgent sourceInstallAgent(std::string payloadDir, std::string endpointUrl,
                                const AgentDownload& download, MessageCallback report);

// True when `name` is a carried agent archive: "InstallAgent_" ... ".zip", case-sensitive.
bool isCarriedArchiveName(const std::string& name);

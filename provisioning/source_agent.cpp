#include "provisioning/source_agent.h"

#include <filesystem>

#include "host/files.h"
#include "host/termination.h"
#include "platform/constants.h"
#include "platform/location.h"
#include "provisioning/unzip.h"

namespace {

const char kArchivePrefix[] = "InstallAgent_";
const char kArchiveSuffix[] = ".zip";

// A location names an archive when it ends in ".zip" after at least one other character.
bool isArchiveLocation(const std::string& location) {
  return location.size() > sizeof kArchiveSuffix - 1 && location.ends_with(kArchiveSuffix);
}

// The first carried archive that the listing of `directory` delivers, or empty.
std::string findCarriedArchive(const std::string& directory) {
  for (const std::string& name : host::listDirectory(directory))
    if (isCarriedArchiveName(name)) return (std::filesystem::path(directory) / name).string();
  return "";
}

// The download road: into the per-user cache.
SourcedAgent downloadAgent(const std::string& payloadDir, const std::string& endpointUrl,
                           const AgentDownload& download) {
  auto cache = std::make_shared<AgentCache>();
  // A refused cache is not made either: made by root in a user's HOME (sudo -E), it locks them out.
  if (cache->trust().ok()) cache->prepare();
  // A run asked to stop shows no download window.
  if (host::terminationSignal() != 0) return {};
  std::optional<host::Process> agent = download(
      (std::filesystem::path(payloadDir) / INSTALL_AGENT_ZIP).string(), endpointUrl, cache);
  return agent ? SourcedAgent{cache->agentExecutable(), std::move(agent)} : SourcedAgent{};
}

}  // namespace

bool isCarriedArchiveName(const std::string& name) {
  return name.starts_with(kArchivePrefix) && name.ends_with(kArchiveSuffix);
}

SourcedAgent sourceInstallAgent(std::string payloadDir, std::string endpointUrl,
                                const AgentDownload& download, MessageCallback report) {
  std::string location = getDefaultInstallAgentLocation();

  // A ready agent in the bundle is run as it is.
  if (!location.empty() && !isArchiveLocation(location) && host::pathExists(location))
    return {location, std::nullopt};

  // An archive carried in the bundle, unpacked into the payload directory.
  std::string archive =
      host::pathExists(location) ? location : findCarriedArchive(directoryOfPath(location));
  if (archive.empty()) return downloadAgent(payloadDir, endpointUrl, download);
  if (unzipInstallAgent(archive, payloadDir, "unzip", report) != UnzipResult::Unpacked) {
    if (host::terminationSignal() == 0) report("Failed to initialize the install agent.", true);
    return {};
  }
  return {getInstallAgentExecutable(payloadDir), std::nullopt};
}

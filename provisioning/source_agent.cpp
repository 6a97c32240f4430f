#include "provisioning/source_agent.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "bootstrap/constants.h"
#include "download_app/download_entry.h"
#include "platform/location.h"
#include "platform/temp_dir.h"
#include "platform/termination.h"
#include "provisioning/cache.h"
#include "provisioning/unzip.h"

namespace {

const char kArchivePrefix[] = "InstallAgent_";
const char kArchiveSuffix[] = ".zip";
const uint16_t kAgentDirMode = 0700;

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A location names an archive when it ends in ".zip" after at least one other character.
bool isArchiveLocation(const std::string& location) {
  return location.size() >= 5 && endsWith(location, kArchiveSuffix);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The first carried archive that the listing of `directory` delivers, or empty.
std::string findCarriedArchive(const std::string& directory) {
  std::unique_ptr<DIR, DirCloser> listing(opendir(directory.c_str()));
  if (!listing) return "";
  while (struct dirent* entry = readdir(listing.get())) {
    if (isCarriedArchiveName(entry->d_name)) return directory + PATH_SEPARATOR + entry->d_name;
  }
  return "";
}

}  // namespace

bool isCarriedArchiveName(const std::string& name) {
  const std::string prefix = kArchivePrefix;
  return name.size() >= prefix.size() + sizeof kArchiveSuffix - 1 &&
         name.compare(0, prefix.size(), prefix) == 0 && endsWith(name, kArchiveSuffix);
}

std::string sourceInstallAgent(std::string payloadDir, std::string endpointUrl,
                               MessageCallback report) {
  std::string location = getDefaultInstallAgentLocation();

  // A ready agent in the bundle is run as it is.
  if (!location.empty() && !isArchiveLocation(location) && pathExists(location)) return location;

  // An archive carried in the bundle.
  std::string archive;
  if (pathExists(location)) {
    archive = location;
  } else {
    size_t cut = location.find_last_of("/\\");
    archive = findCarriedArchive(cut == std::string::npos ? location : location.substr(0, cut));
  }

  std::string destination;
  if (!archive.empty()) {
    destination = payloadDir;
  } else {
    // Nothing carried: download into the per-user cache.
    destination = getInstallAgentCacheDir() + INSTALL_AGENT_DIR;
    mkpath(destination, kAgentDirMode);  // a missing directory shows in the steps that follow
    // An agent in a cache that another user can change is never started.
    CacheTrust trust = checkCacheTrust();
    if (!trust.trusted()) {
      report(untrustedCacheMessage(trust), true);
      return "";
    }
    // A run asked to stop shows no download window.
    if (terminationSignal() != 0) return "";
    archive = payloadDir + PATH_SEPARATOR + INSTALL_AGENT_ZIP;
    if (!downloadInstallAgentFromVL(archive.c_str(), endpointUrl.c_str(), report)) return "";
    std::string cached = installAgentDirOnDisk();
    if (!cached.empty()) return getInstallAgentExecutable(cached);
  }

  if (!unzipInstallAgent(archive, destination, "unzip", report)) {
    report("Failed to initialize the install agent.", true);
    return "";
  }
  return getInstallAgentExecutable(destination);
}

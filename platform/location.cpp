#include "platform/location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/files.h"
#include "platform/constants.h"

namespace {

const char kExecutableLink[] = "/proc/self/exe";
const char kReadyAgent[] = "InstallerForMac";

}  // namespace

std::string directoryOfPath(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return path;
  return path.substr(0, cut);
}

std::string pathToExecutableFor(const std::optional<host::MainBundle>& bundle,
                                const std::string& link) {
  if (bundle) return bundle->bundlePath;
  return host::readLink(link);
}

std::string bundleLocationFor(const std::optional<host::MainBundle>& bundle,
                              const std::string& directoryOfExecutable) {
  if (!bundle) return directoryOfExecutable;
  if (!bundle->resourcePath.empty()) return bundle->resourcePath;
  return bundle->bundlePath;
}

std::string defaultInstallAgentLocationFor(const std::optional<host::MainBundle>& bundle) {
  // A bundle without resources carries no agent.
  if (!bundle || bundle->resourcePath.empty()) return "";
  std::string readyAgent = (std::filesystem::path(bundle->resourcePath) / kReadyAgent).string();
  if (host::pathExists(readyAgent)) return readyAgent;
  return (std::filesystem::path(bundle->resourcePath) / INSTALL_AGENT_ZIP).string();
}

std::string provenUnpackedCopy(const std::string& named, const std::string& bundle, int proof) {
  std::filesystem::path copy(named);
  auto same = [](const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  };
  struct stat dir, holder, running, opened;
  if (!copy.is_absolute() || bundle.empty() || lstat(copy.c_str(), &dir) != 0 ||
      !S_ISDIR(dir.st_mode) || dir.st_uid != geteuid() || (dir.st_mode & 07777) != 0700)
    return "";
  std::filesystem::path parent = std::filesystem::path(bundle).lexically_normal().parent_path();
  if (stat(parent.c_str(), &holder) != 0 || !same(holder, dir)) return "";
  if (fstat(proof, &opened) != 0 || lstat((copy / ".running").c_str(), &running) != 0 ||
      !same(opened, running))
    return "";
  return named;
}

std::string getPathToExecutable() {
  return pathToExecutableFor(host::mainBundle(), kExecutableLink);
}

std::string getDirectoryOfExecutable() {
  std::string path = getPathToExecutable();
  if (path.empty()) return "";
  return directoryOfPath(path);
}

std::string getBundleLocation() {
  std::optional<host::MainBundle> bundle = host::mainBundle();
  return bundleLocationFor(bundle, bundle ? std::string() : getDirectoryOfExecutable());
}

std::string getDefaultInstallAgentLocation() {
  return defaultInstallAgentLocationFor(host::mainBundle());
}

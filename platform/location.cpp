#include "platform/location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "bootstrap/constants.h"

namespace {

const char kExecutableLink[] = "/proc/self/exe";
const char kReadyAgent[] = "InstallerForMac";

// Joins a directory and one component with a single "/" between them.
std::string appendComponent(const std::string& directory, const std::string& component) {
  if (directory.empty()) return component;
  if (directory.back() == '/') return directory + component;
  return directory + "/" + component;
}

// A file and a directory count alike; a path that cannot be tested counts as absent.
bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string readExecutableLink(const std::string& link) {
  char buffer[1024];
  memset(buffer, 0, sizeof buffer);
  if (readlink(link.c_str(), buffer, sizeof buffer - 1) == -1) return "";
  return buffer;  // up to the first NUL: the zero-filled buffer ends the text
}

std::string directoryOfPath(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return path;
  return path.substr(0, cut);
}

std::string pathToExecutableFor(const std::optional<host::MainBundle>& bundle,
                                const std::string& link) {
  if (bundle) return bundle->bundlePath;
  return readExecutableLink(link);
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
  std::string readyAgent = appendComponent(bundle->resourcePath, kReadyAgent);
  if (pathExists(readyAgent)) return readyAgent;
  return appendComponent(bundle->resourcePath, INSTALL_AGENT_ZIP);
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

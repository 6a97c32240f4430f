#include "platform/location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <system_error>

#include "host/files.h"
#include "platform/constants.h"

namespace {

const char kReadyAgent[] = "InstallerForMac";

// The whole target of "/proc/self/exe", however long; empty when it cannot be read.
std::string executableLink() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

}  // namespace

std::optional<MainBundle> bundleForExecutable(const std::string& executablePath) {
  // "<...>/<Name>.app/Contents/MacOS/<file>", with a file name and a bundle name.
  constexpr std::string_view kExecutableFolder = "/Contents/MacOS/";
  size_t fileStart = executablePath.rfind('/');
  if (fileStart == std::string::npos || fileStart + 1 == executablePath.size()) return std::nullopt;
  std::string_view folder(executablePath.data(), fileStart + 1);
  if (!folder.ends_with(kExecutableFolder)) return std::nullopt;
  folder.remove_suffix(kExecutableFolder.size());
  // ".app" alone has no extension: it is a hidden file's name.
  const std::filesystem::path bundlePath = folder;
  if (bundlePath.extension() != ".app") return std::nullopt;
  const std::filesystem::path resources = bundlePath / "Contents" / "Resources";
  return MainBundle{bundlePath.string(), host::isDirectory(resources) ? resources.string() : ""};
}

std::optional<MainBundle> mainBundle() { return bundleForExecutable(executableLink()); }

std::string directoryOfPath(const std::string& path) {
  return path.substr(0, path.find_last_of("/\\"));  // all of it without either
}

std::string getPathToExecutable() {
  std::optional<MainBundle> bundle = mainBundle();
  return bundle ? bundle->bundlePath : executableLink();
}

std::string getDirectoryOfExecutable() { return directoryOfPath(getPathToExecutable()); }

std::string getBundleLocation(const std::optional<MainBundle>& bundle) {
  if (!bundle) return getDirectoryOfExecutable();
  if (!bundle->resourcePath.empty()) return bundle->resourcePath;
  return bundle->bundlePath;
}

std::string getDefaultInstallAgentLocation(const std::optional<MainBundle>& bundle) {
  // A bundle without resources carries no agent.
  if (!bundle || bundle->resourcePath.empty()) return "";
  std::filesystem::path resources = bundle->resourcePath;
  if (host::pathExists(resources / kReadyAgent)) return resources / kReadyAgent;
  return resources / INSTALL_AGENT_ZIP;
}

std::filesystem::path getCatalogueLocation() {
  std::optional<MainBundle> bundle = mainBundle();
  if (!bundle || bundle->resourcePath.empty()) return {};
  return std::filesystem::path(bundle->resourcePath) / "locale";
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

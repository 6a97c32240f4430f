#include "host/main_bundle.h"

#include <filesystem>
#include <system_error>

#include "host/files.h"

namespace host {

namespace {

const char kBundleSuffix[] = ".app";
const char kExecutableFolder[] = "/Contents/MacOS/";

}  // namespace

std::optional<MainBundle> bundleForExecutable(const std::string& executablePath) {
  // "<...>/<Name>.app/Contents/MacOS/<file>", with a file name and a bundle name.
  size_t fileStart = executablePath.rfind('/');
  if (fileStart == std::string::npos || fileStart + 1 == executablePath.size()) return std::nullopt;
  std::string folder = executablePath.substr(0, fileStart + 1);
  if (!folder.ends_with(kExecutableFolder)) return std::nullopt;
  std::string bundlePath = folder.substr(0, folder.size() - (sizeof kExecutableFolder - 1));
  if (!bundlePath.ends_with(kBundleSuffix)) return std::nullopt;
  size_t nameStart = bundlePath.rfind('/');
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  if (bundlePath.size() - nameStart <= sizeof kBundleSuffix - 1) return std::nullopt;

  MainBundle bundle;
  bundle.bundlePath = bundlePath;
  std::string resources = std::filesystem::path(bundlePath) / "Contents" / "Resources";
  if (isDirectory(resources)) bundle.resourcePath = resources;
  return bundle;
}

std::string readLink(const std::filesystem::path& link) {
  std::error_code error;
  return std::filesystem::read_symlink(link, error).string();
}

std::optional<MainBundle> mainBundle() {
  std::string executable = readLink("/proc/self/exe");
  if (executable.empty()) return std::nullopt;
  return bundleForExecutable(executable);
}

}  // namespace host

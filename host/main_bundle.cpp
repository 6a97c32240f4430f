#include "host/main_bundle.h"

#include <system_error>

#include "host/files.h"

namespace host {

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
  return MainBundle{bundlePath.string(), isDirectory(resources) ? resources.string() : ""};
}

std::string readLink(const std::filesystem::path& link) {
  std::error_code error;
  return std::filesystem::read_symlink(link, error).string();
}

std::optional<MainBundle> mainBundle() { return bundleForExecutable(readLink("/proc/self/exe")); }

}  // namespace host

#include "host/main_bundle.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace host {

namespace {

const char kBundleSuffix[] = ".app";
const char kExecutableFolder[] = "/Contents/MacOS/";
const char kResourceFolder[] = "/Contents/Resources";

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The whole target of a symbolic link, however long; empty when it cannot be read.
std::string readWholeLink(const char* link) {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = readlink(link, buffer.data(), buffer.size());
    if (length < 0) return "";
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::optional<MainBundle> bundleForExecutable(const std::string& executablePath) {
  // "<...>/<Name>.app/Contents/MacOS/<file>", with a file name and a bundle name.
  size_t fileStart = executablePath.rfind('/');
  if (fileStart == std::string::npos || fileStart + 1 == executablePath.size()) return std::nullopt;
  std::string folder = executablePath.substr(0, fileStart + 1);
  if (!endsWith(folder, kExecutableFolder)) return std::nullopt;
  std::string bundlePath = folder.substr(0, folder.size() - (sizeof kExecutableFolder - 1));
  if (!endsWith(bundlePath, kBundleSuffix)) return std::nullopt;
  size_t nameStart = bundlePath.rfind('/');
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  if (bundlePath.size() - nameStart <= sizeof kBundleSuffix - 1) return std::nullopt;

  MainBundle bundle;
  bundle.bundlePath = bundlePath;
  std::string resources = bundlePath + kResourceFolder;
  if (isDirectory(resources)) bundle.resourcePath = resources;
  return bundle;
}

std::optional<MainBundle> mainBundle() {
  std::string executable = readWholeLink("/proc/self/exe");
  if (executable.empty()) return std::nullopt;
  return bundleForExecutable(executable);
}

std::string userTemporaryDirectory() {
  const char* value = getenv("TMPDIR");
  if (value == nullptr || *value == '\0') return "";
  return value;
}

}  // namespace host

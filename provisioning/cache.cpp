#include "provisioning/cache.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>

#include "bootstrap/constants.h"
#include "provisioning/first_line.h"

namespace {

const char kEntryFile[] = "install";

// The validation-string file joins its directory with a separator, whatever the directory
// ends in; the file system reads a doubled one as one.
std::string validationStringPath(const std::string& dir) {
  return dir + PATH_SEPARATOR + VALIDATION_STRING_FILE;
}

}  // namespace

std::string getInstallAgentCacheDir() {
  const char* home = getenv("HOME");
  std::string dir = (home != nullptr && *home != '\0') ? home : "/tmp";
  if (dir.size() >= 2 && dir.back() != PATH_SEPARATOR[0]) dir += PATH_SEPARATOR;
  return dir + INSTALL_AGENT_CACHE_SUBPATH;
}

std::string installAgentDirOnDisk() {
  std::string agentDir = getInstallAgentCacheDir() + INSTALL_AGENT_DIR + PATH_SEPARATOR;
  struct stat info;
  if (stat(getInstallAgentExecutable(agentDir).c_str(), &info) != 0) return "";
  return agentDir;
}

std::string getInstallAgentExecutable(std::string dir) {
  if (!dir.empty() && dir.back() != PATH_SEPARATOR[0]) dir += PATH_SEPARATOR;
  return dir + kEntryFile;
}

bool isCacheValid(std::string dir, std::string validationString) {
  // Without a directory there is no cache to vouch for anything.
  if (dir.empty() || validationString.empty()) return false;
  std::string path = validationStringPath(dir);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  std::string stored;
  if (!readFirstLine(path, &stored)) return false;
  return stored == validationString;
}

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty()) return;
  FILE* file = fopen(validationStringPath(dir).c_str(), "w");
  if (file == nullptr) return;
  fwrite(validationString.data(), 1, validationString.size(), file);
  fclose(file);  // a short write leaves a tag that matches nothing: the next run downloads
}

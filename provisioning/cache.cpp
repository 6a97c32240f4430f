#include "provisioning/cache.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "host/files.h"
#include "platform/constants.h"
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
  return host::pathExists(getInstallAgentExecutable(agentDir)) ? agentDir : "";
}

std::string getInstallAgentExecutable(std::string dir) {
  if (!dir.empty() && dir.back() != PATH_SEPARATOR[0]) dir += PATH_SEPARATOR;
  return dir + kEntryFile;
}

bool isCacheValid(std::string dir, std::string validationString) {
  // Without a directory there is no cache to vouch for anything.
  if (dir.empty() || validationString.empty()) return false;
  std::string stored;
  if (!readFirstLine(validationStringPath(dir), &stored)) return false;
  return stored == validationString;
}

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty()) return;
  FILE* file = fopen(validationStringPath(dir).c_str(), "w");
  if (file == nullptr) return;
  fwrite(validationString.data(), 1, validationString.size(), file);
  fclose(file);  // a short write leaves a tag that matches nothing: the next run downloads
}

namespace {

// Why `level` may not be trusted, or empty when it may (or does not exist).
std::string distrust(const std::string& level, bool* missing) {
  *missing = false;
  struct stat info;
  if (lstat(level.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      *missing = true;
      return "";
    }
    return "cannot be examined";
  }
  if (S_ISLNK(info.st_mode)) {
    // Only the user can have made a link that the user owns; another's link is a trap.
    if (info.st_uid != geteuid()) return "is a symbolic link made by another user";
    if (stat(level.c_str(), &info) != 0) {
      *missing = errno == ENOENT;
      return *missing ? "" : "cannot be examined";
    }
  }
  if (!S_ISDIR(info.st_mode)) return "is not a directory";
  if (info.st_uid != geteuid()) return "is owned by another user";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "can be changed by other users";
  return "";
}

}  // namespace

CacheTrust checkCacheTrust() {
  std::string cacheDir = getInstallAgentCacheDir();
  std::string level = cacheDir.substr(0, cacheDir.size() - INSTALL_AGENT_CACHE_SUBPATH.size());
  // The levels: every component of the sub-path, then the agent directory.
  std::string components = INSTALL_AGENT_CACHE_SUBPATH + INSTALL_AGENT_DIR;
  for (size_t start = 0, end; start < components.size(); start = end + 1) {
    end = std::min(components.find(PATH_SEPARATOR[0], start), components.size());
    level += components.substr(start, end - start);
    bool missing = false;
    std::string reason = distrust(level, &missing);
    if (!reason.empty()) return {level, reason};
    if (missing) break;  // nothing below it exists either
    level += PATH_SEPARATOR;
  }
  return {};
}

std::string untrustedCacheMessage(const CacheTrust& trust) {
  return "The install agent cache is not safe to use: " + trust.directory + " " + trust.reason +
         ".";
}

#include "provisioning/cache.h"

#include <fcntl.h>
#include <glib.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "host/files.h"
#include "host/system_log.h"
#include "platform/constants.h"
#include "platform/temp_dir.h"
#include "provisioning/first_line.h"

namespace {

const char kEntryFile[] = "install";
const char kTemporarySuffix[] = ".XXXXXX";

// Marks a text for the window's catalogues (tools/check-translations): the window shows the
// reasons a cache is not safe in the user's language.
constexpr const char* N_(const char* english) { return english; }

}  // namespace

std::string validationStringPath(const std::string& dir) {
  return dir + (dir.ends_with(PATH_SEPARATOR) ? "" : PATH_SEPARATOR) + VALIDATION_STRING_FILE;
}

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
  std::string path = validationStringPath(dir);
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    host::systemLog("The validation string %s is a directory; the agent is downloaded again",
                    path.c_str());
  return storedValidationString(dir) == validationString;
}

std::string storedValidationString(const std::string& dir) {
  if (dir.empty()) return "";
  // Only a file the installer wrote vouches for the agent, never one reached through a link.
  std::string path = validationStringPath(dir);
  struct stat info;
  std::string stored;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  readFirstLine(path, &stored);
  return stored;
}

namespace {

// Replaces the file at `path` with exactly `content`: a new file (mode 0600) renamed into place,
// so a link or a directory there is replaced, never written through, and a short write leaves
// the old content, not half of the new one. Gives up silently.
void replaceFile(const std::string& path, const std::string& content) {
  std::string written = path + kTemporarySuffix;
  host::FileDescriptor file(mkostemp(written.data(), O_CLOEXEC));
  if (file.get() < 0) return;
  bool complete = host::writeAll(file.get(), content);
  file.reset();
  struct stat info;
  if (complete && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) removeTree(path);
  if (!complete || rename(written.c_str(), path.c_str()) != 0) unlink(written.c_str());
}

std::string proofPath(const std::string& dir) {
  return (std::filesystem::path(dir) / AGENT_PROOF_FILE).string();
}

}  // namespace

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty()) return;
  replaceFile(validationStringPath(dir), validationString);
}

std::string agentIdentity(const std::string& cacheDir) {
  struct statx info;
  std::string dir = (std::filesystem::path(cacheDir) / INSTALL_AGENT_DIR).string();
  if (statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &info) != 0)
    return "";
  std::string identity = std::to_string(info.stx_dev_major) + ":" +
                         std::to_string(info.stx_dev_minor) + ":" + std::to_string(info.stx_ino);
  // Without a birth time an inode number freed and given again would pass for the same.
  if (info.stx_mask & STATX_BTIME)
    identity +=
        ":" + std::to_string(info.stx_btime.tv_sec) + "." + std::to_string(info.stx_btime.tv_nsec);
  return identity;
}

std::optional<AgentProof> readAgentProof(const std::string& dir) {
  std::string path = proofPath(dir);
  struct stat info;
  gchar* text = nullptr;
  gsize length = 0;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !g_file_get_contents(path.c_str(), &text, &length, nullptr))
    return std::nullopt;
  std::string content(text, length);
  g_free(text);
  // The tag, the agent's identity and the hash in hexadecimal, a line each; then the signature.
  AgentProof proof;
  std::string hash;
  size_t first = content.find('\n'), second = content.find('\n', first + 1),
         third = content.find('\n', second + 1);
  if (third == std::string::npos) return std::nullopt;
  proof.tag = content.substr(0, first);
  proof.agent = content.substr(first + 1, second - first - 1);
  hash = content.substr(second + 1, third - second - 1);
  proof.signature = content.substr(third + 1);
  if (hash.size() != 2 * proof.hash.size() ||
      sodium_hex2bin(proof.hash.data(), proof.hash.size(), hash.data(), hash.size(), nullptr,
                     nullptr, nullptr) != 0)
    return std::nullopt;
  return proof;
}

void writeAgentProof(const std::string& dir, const AgentProof& proof) {
  std::string hash(2 * proof.hash.size() + 1, '\0');
  sodium_bin2hex(hash.data(), hash.size(), proof.hash.data(), proof.hash.size());
  hash.pop_back();
  replaceFile(proofPath(dir),
              proof.tag + "\n" + proof.agent + "\n" + hash + "\n" + proof.signature);
}

namespace {

// Why `level` may not be trusted, or empty when it may (or does not exist). The download window
// shows these reasons translated: download_app/download.cpp lists them for its catalogues.
std::string distrust(const std::string& level, bool* missing) {
  *missing = false;
  struct stat info;
  if (lstat(level.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      *missing = true;
      return "";
    }
    return N_("cannot be examined");
  }
  if (S_ISLNK(info.st_mode)) {
    // Only the user can have made a link that the user owns; another's link is a trap.
    if (info.st_uid != geteuid()) return N_("is a symbolic link made by another user");
    if (stat(level.c_str(), &info) != 0) {
      *missing = errno == ENOENT;
      return *missing ? "" : N_("cannot be examined");
    }
  }
  if (!S_ISDIR(info.st_mode)) return N_("is not a directory");
  if (info.st_uid != geteuid()) return N_("is owned by another user");
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return N_("can be changed by other users");
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

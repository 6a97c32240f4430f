#include "provisioning/agent_cache.h"

#include <fcntl.h>
#include <glib.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "host/files.h"
#include "host/system_log.h"
#include "platform/constants.h"
#include "platform/temp_dir.h"
#include "provisioning/first_line.h"
#include "provisioning/unzip.h"

namespace fs = std::filesystem;

namespace {

const char kEntryFile[] = "install";
const char kProofFile[] = ".agentproof";
const char kTemporarySuffix[] = ".XXXXXX";
const char kUnpackingSuffix[] = ".unpacking-";

// Marks a text for the window's catalogues (tools/check-translations): the window shows the
// reasons a cache is not safe in the user's language.
constexpr const char* N_(const char* english) { return english; }

}  // namespace

std::string validationStringPath(const fs::path& dir) {
  return (dir / VALIDATION_STRING_FILE).string();
}

std::string getInstallAgentCacheDir() {
  const char* home = getenv("HOME");
  std::string dir = (home != nullptr && *home != '\0') ? home : "/tmp";
  if (!dir.ends_with('/')) dir += '/';
  return dir + INSTALL_AGENT_CACHE_SUBPATH;
}

std::string installAgentDirOnDisk() {
  std::string agentDir = getInstallAgentCacheDir() + INSTALL_AGENT_DIR + "/";
  return host::pathExists(getInstallAgentExecutable(agentDir)) ? agentDir : "";
}

std::string getInstallAgentExecutable(const fs::path& dir) { return (dir / kEntryFile).string(); }

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

std::string storedValidationString(const fs::path& dir) {
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

std::string proofPath(const fs::path& dir) { return (dir / kProofFile).string(); }

// The agent directory's identity: device, inode and birth time, or where the file system keeps
// none (ext4 with small inodes, NFS) the time of its last change, since an inode number freed
// and given again would pass for the same. A directory unpacked in its place, by any installer,
// has another.
std::string agentIdentity(const fs::path& cacheDir) {
  struct statx info;
  std::string dir = (cacheDir / INSTALL_AGENT_DIR).string();
  if (statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME | STATX_CTIME,
            &info) != 0)
    return "";
  statx_timestamp born = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
  return std::to_string(info.stx_dev_major) + ":" + std::to_string(info.stx_dev_minor) + ":" +
         std::to_string(info.stx_ino) + ":" + std::to_string(born.tv_sec) + "." +
         std::to_string(born.tv_nsec);
}

// Replaces the proof in `dir`, like `writeValidationString`.
void writeAgentProof(const fs::path& dir, const AgentProof& proof) {
  std::string hash(2 * proof.hash.size() + 1, '\0');
  sodium_bin2hex(hash.data(), hash.size(), proof.hash.data(), proof.hash.size());
  hash.pop_back();
  replaceFile(proofPath(dir),
              proof.tag + "\n" + proof.agent + "\n" + hash + "\n" + proof.signature);
}

}  // namespace

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty()) return;
  replaceFile(validationStringPath(dir), validationString);
}

std::optional<AgentProof> readAgentProof(const fs::path& dir) {
  std::string path = proofPath(dir);
  struct stat info;
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !g_file_get_contents(path.c_str(), &text, &length, nullptr))
    return std::nullopt;
  std::string content(text, length);
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

namespace {

// Why `level` may not be trusted, or empty when it may (or does not exist). The download window
// shows these reasons translated.
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

// Why a directory above the cache may not be trusted.
const char* exposureReason(host::Exposure exposure) {
  switch (exposure) {
    case host::Exposure::kOwnedByAnother:
      return N_("is owned by another user");
    case host::Exposure::kWritableByOthers:
      return N_("can be changed by other users");
    default:
      return N_("cannot be examined");
  }
}

}  // namespace

CacheTrust checkCacheTrust() {
  std::string cacheDir = getInstallAgentCacheDir();
  fs::path level = cacheDir.substr(0, cacheDir.size() - INSTALL_AGENT_CACHE_SUBPATH.size());
  // Whoever may rename a directory above the cache could put another cache in its place: a
  // run as root with a user's HOME (sudo -E) refuses that user's HOME.
  if (host::ExposedLevel above = host::exposedLevel(level); !above.directory.empty()) {
    return {above.directory.string(), exposureReason(above.exposure)};
  }
  // The levels: every component of the sub-path, then the agent directory.
  for (const fs::path& name : fs::path(INSTALL_AGENT_CACHE_SUBPATH) / INSTALL_AGENT_DIR) {
    level /= name;
    bool missing = false;
    std::string reason = distrust(level, &missing);
    if (!reason.empty()) return {level, reason};
    if (missing) break;  // nothing below it exists either
  }
  return {};
}

host::Status<CacheProblem> prepareCache() {
  if (mkpath((fs::path(getInstallAgentCacheDir()) / INSTALL_AGENT_DIR).string(), 0700) == 0)
    return {};
  return {CacheProblem::kNoDirectory, getInstallAgentCacheDir(), errno};
}

std::string cachedAgentExecutable() {
  return getInstallAgentExecutable(fs::path(getInstallAgentCacheDir()) / INSTALL_AGENT_DIR);
}

std::string untrustedCacheMessage(const CacheTrust& trust) {
  return "The install agent cache is not safe to use: " + trust.directory + " " + trust.reason +
         ".";
}

AgentCache::Verdict AgentCache::decide(const std::string& tag, const SigningKeys& keys,
                                       const std::function<void()>& waiting,
                                       const std::function<bool()>& givesUp) {
  std::optional<std::string> why;
  bool told = false;
  auto waitingOnce = [&] {
    if (!std::exchange(told, true)) waiting();
  };
  for (CacheLock::Mode mode : {CacheLock::Mode::kShared, CacheLock::Mode::kExclusive}) {
    CacheLock::Result locked = lock(mode, waitingOnce, givesUp);
    if (locked == CacheLock::Result::kUnavailable) {
      // A cache removed meanwhile (by an agent that uninstalls, say) is made again; where its
      // directories cannot be made (a full disk), that is why there is no lock.
      whyUnlockable_ = prepareCache();
      if (whyUnlockable_.ok()) locked = lock(mode, waitingOnce, givesUp);
      if (locked == CacheLock::Result::kUnavailable) {
        if (whyUnlockable_.ok()) whyUnlockable_ = {CacheProblem::kNotLockable, cacheLockPath(dir_)};
        return Verdict::kUnlockable;
      }
    }
    if (locked == CacheLock::Result::kBusy) return Verdict::kGaveUp;
    if (locked == CacheLock::Result::kHeldAbove) return Verdict::kHeldAbove;
    if (holdsCurrentAgent(tag, keys, &why)) return Verdict::kCurrent;
  }
  if (why) host::systemLog("The cached install agent is downloaded again: %s", why->c_str());
  removeStaleAgent(tag);
  return Verdict::kStale;
}

CacheLock::Result AgentCache::lock(CacheLock::Mode mode, const std::function<void()>& waiting,
                                   const std::function<bool()>& givesUp) {
  CacheLock::Result result;
  while ((result = lock_->tryLock(dir_, mode)) == CacheLock::Result::kBusy) {
    waiting();
    if (givesUp()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return result;
}

std::shared_ptr<CacheLock> AgentCache::passLock() {
  if (lock_->held()) lock_->tryLock(dir_, CacheLock::Mode::kShared);  // never busy
  return std::exchange(lock_, std::make_shared<CacheLock>());
}

std::string AgentCache::agentDirectory() const {
  return (fs::path(dir_) / INSTALL_AGENT_DIR).string();
}

bool AgentCache::hasAgent() const {
  return host::pathExists(getInstallAgentExecutable(agentDirectory()));
}

std::optional<std::string> AgentCache::unproven(const std::string& tag,
                                                const SigningKeys& keys) const {
  if (keys.empty()) return std::nullopt;
  std::optional<AgentProof> proof = readAgentProof(dir_);
  if (!proof) return "no signature was checked for it";
  if (proof->tag != tag || proof->agent.empty() || proof->agent != agentIdentity(dir_))
    return "the signature checked was of another agent";
  SignedFacts facts;
  SignatureStatus status =
      verifyArchiveSignature(keys, proof->signature, proof->hash, nullptr, &facts);
  if (status.ok()) return std::nullopt;
  return "its signature does not hold: " + describe(status);
}

std::string AgentCache::likelyCurrentTag(const SigningKeys& keys) const {
  if (!hasAgent()) return "";
  std::string tag = storedValidationString(dir_);
  return unproven(tag, keys) ? "" : tag;
}

bool AgentCache::holdsCurrentAgent(const std::string& tag, const SigningKeys& keys,
                                   std::optional<std::string>* why) const {
  if (!hasAgent() || !isCacheValid(dir_, tag)) return false;
  *why = unproven(tag, keys);
  return !*why;
}

std::optional<int64_t> AgentCache::lastSignedAt(const SigningKeys& keys) const {
  std::optional<AgentProof> stored = readAgentProof(dir_);
  SignedFacts facts;
  if (!stored || !verifyTrustedComment(keys, stored->signature, &facts).ok()) return {};
  return facts.timestamp;
}

void AgentCache::removeStaleAgent(const std::string& tag) {
  // Under the lock no other run unpacks or writes a tag: what is there was left by a run that
  // died.
  const std::string unpacking = std::string(INSTALL_AGENT_DIR) + kUnpackingSuffix;
  const std::string tagPrefix = std::string(VALIDATION_STRING_FILE) + ".";
  const std::string proofPrefix = std::string(kProofFile) + ".";
  for (const std::string& name : host::listDirectory(dir_)) {
    if (name.starts_with(unpacking) || name.starts_with(tagPrefix) || name.starts_with(proofPrefix))
      removeTree((fs::path(dir_) / name).string());
  }
  // The directory itself, or the link that stands in its place, not what it points to.
  if (hasAgent()) removeTree(agentDirectory());
  // Its proof vouches for no later agent, whatever identity the file system gives that one
  // (without birth times, the inode of the agent removed is soon given again); it keeps the
  // signing time that a replay must not go below.
  if (std::optional<AgentProof> proof = readAgentProof(dir_); proof && !proof->agent.empty()) {
    proof->agent.clear();
    writeAgentProof(dir_, *proof);
  }
  // No tag from the server: no stored tag may vouch for what is downloaded now.
  if (tag.empty()) removeTree(validationStringPath(dir_));
}

namespace {

// What keeps the agent unpacked in `dir` from being started: its entry file must be a regular
// file, or a link to one inside `dir`.
std::optional<CacheProblem> entryProblem(const fs::path& dir) {
  std::error_code ec, targetError, dirError;
  fs::path entry = getInstallAgentExecutable(dir);
  if (!fs::exists(fs::symlink_status(entry, ec))) return CacheProblem::kNoEntryFile;
  fs::path target = fs::canonical(entry, targetError);
  fs::path inside = fs::canonical(dir, dirError) / "";
  if (targetError || dirError || !fs::is_regular_file(target, ec) ||
      !target.string().starts_with(inside.string()))
    return CacheProblem::kEntryNotRegular;
  return std::nullopt;
}

}  // namespace

host::Status<CacheProblem> AgentCache::unpack(const fs::path& archive, MessageCallback report) {
  const std::string agentDir = agentDirectory();
  // A fresh directory beside the agent directory, so a half-unpacked agent never counts.
  std::string fresh = agentDir + kUnpackingSuffix + "XXXXXX";
  if (!mkdtemp(fresh.data())) return {CacheProblem::kNoDirectory, dir_, errno};
  chmod(fresh.c_str(), 0700);  // whatever the umask: unzip writes into it
  host::Status<CacheProblem> status;
  UnzipResult unzipped = unzipInstallAgent(archive, fresh, "unzip", report);
  if (unzipped != UnzipResult::Unpacked) {
    status = unzipped == UnzipResult::ToolMissing ? CacheProblem::kUnzipMissing
                                                  : CacheProblem::kUnzipFailed;
  } else if (std::optional<CacheProblem> problem = entryProblem(fresh)) {
    status = *problem;
  } else if (!removeTree(agentDir)) {
    status = {CacheProblem::kOldAgentStays, agentDir};
  } else if (rename(fresh.c_str(), agentDir.c_str()) != 0) {
    status = {CacheProblem::kNewAgentNotPlaced, agentDir, errno};
  }
  if (status.ok()) return status;
  removeTree(fresh);
  // A tag may stand beside no agent, but never vouch for a broken or an older one (one that
  // could not be removed).
  if (unzipped == UnzipResult::Unpacked || hasAgent()) removeTree(validationStringPath(dir_));
  return status;
}

host::Status<CacheProblem> AgentCache::install(const fs::path& archive, const std::string& tag,
                                               std::optional<AgentProof> proof,
                                               MessageCallback report) {
  writeValidationString(dir_, tag);
  host::Status<CacheProblem> status = unpack(archive, report);
  if (proof && status.ok()) {
    proof->tag = tag;
    proof->agent = agentIdentity(dir_);
    writeAgentProof(dir_, *proof);
  }
  return status;
}

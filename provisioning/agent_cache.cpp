#include "provisioning/agent_cache.h"

#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "host/files.h"
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

// The kind of what stands at `path` itself, a link not followed (the S_IFMT bits); 0 for nothing.
mode_t kindOf(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// Replaces the file at `path` with exactly `content`: a new file (mode 0600) renamed into place,
// so a link or a directory there is replaced, never written through, and a short write leaves
// the old content, not half of the new one. Gives up silently.
void replaceFile(const std::string& path, const std::string& content) {
  std::string written = path + kTemporarySuffix;
  host::FileDescriptor file(mkostemp(written.data(), O_CLOEXEC));
  if (file.get() < 0) return;
  bool complete = host::writeAll(file.get(), content);
  file.reset();
  if (complete && S_ISDIR(kindOf(path))) removeTree(path);
  if (!complete || rename(written.c_str(), path.c_str()) != 0) unlink(written.c_str());
}

// The agent directory's identity: device, inode and birth time, or where the file system keeps
// none (ext4 with small inodes, NFS) its last change, since a freed inode number given again
// would pass for the same. A directory unpacked in its place, by any installer, has another.
std::string agentIdentity(const fs::path& dir) {
  struct statx info;
  if (statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME | STATX_CTIME,
            &info) != 0)
    return "";
  statx_timestamp born = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
  return std::to_string(info.stx_dev_major) + ":" + std::to_string(info.stx_dev_minor) + ":" +
         std::to_string(info.stx_ino) + ":" + std::to_string(born.tv_sec) + "." +
         std::to_string(born.tv_nsec);
}

// Tests every directory of the cache below `level` (HOME, or "/tmp") and every one above it.
CacheTrust checkTrust(fs::path level) {
  // Whoever may rename a directory above the cache could put another cache in its place: a
  // run as root with a user's HOME (sudo -E) refuses that user's HOME.
  if (host::ExposedLevel above = host::exposedLevel(level); !above.directory.empty()) {
    using host::Exposure;
    return {above.exposure == Exposure::kOwnedByAnother     ? TrustProblem::kOwnedByAnother
            : above.exposure == Exposure::kWritableByOthers ? TrustProblem::kWritableByOthers
                                                            : TrustProblem::kUnexaminable,
            above.directory};
  }
  // The levels: every component of the sub-path, then the agent directory.
  for (const fs::path& name : fs::path(INSTALL_AGENT_CACHE_SUBPATH) / INSTALL_AGENT_DIR) {
    level /= name;
    struct stat info;
    bool examined = lstat(level.c_str(), &info) == 0;
    if (examined && S_ISLNK(info.st_mode)) {
      // Only the user can have made a link that the user owns; another's link is a trap.
      if (info.st_uid != geteuid()) return {TrustProblem::kLinkOfAnother, level};
      examined = stat(level.c_str(), &info) == 0;
    }
    if (!examined && errno == ENOENT) break;  // nothing below it exists either
    if (!examined) return {TrustProblem::kUnexaminable, level};
    if (!S_ISDIR(info.st_mode)) return {TrustProblem::kNotADirectory, level};
    if (info.st_uid != geteuid()) return {TrustProblem::kOwnedByAnother, level};
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return {TrustProblem::kWritableByOthers, level};
  }
  return {};
}

fs::path proofPath(const fs::path& dir) { return dir / kProofFile; }

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

std::string validationStringPath(const fs::path& dir) {
  return (dir / VALIDATION_STRING_FILE).string();
}

std::string getInstallAgentCacheDir() {
  const char* home = getenv("HOME");
  std::string dir = (home != nullptr && *home != '\0') ? home : "/tmp";
  if (!dir.ends_with('/')) dir += '/';
  return dir + INSTALL_AGENT_CACHE_SUBPATH;
}

std::string getInstallAgentExecutable(const fs::path& dir) { return (dir / kEntryFile).string(); }

bool isCacheValid(std::string dir, std::string validationString) {
  // Without a directory there is no stored tag either.
  return !validationString.empty() && storedValidationString(dir) == validationString;
}

std::string storedValidationString(const fs::path& dir) {
  if (dir.empty()) return "";
  // Only a file the installer wrote vouches for the agent, never one reached through a link.
  std::string path = validationStringPath(dir), stored;
  if (S_ISREG(kindOf(path))) readFirstLine(path, &stored);
  return stored;
}

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty()) return;
  replaceFile(validationStringPath(dir), validationString);
}

std::optional<KeptProof> readKeptProof(const fs::path& dir) {
  fs::path path = proofPath(dir);
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  if (!S_ISREG(kindOf(path)) || !g_file_get_contents(path.c_str(), &text, &length, nullptr))
    return std::nullopt;
  // The tag and the agent's identity, a line each; then the proof.
  std::string content(text, length);
  size_t first = content.find('\n'), second = content.find('\n', first + 1);
  if (second == std::string::npos) return std::nullopt;
  return KeptProof{content.substr(0, first), content.substr(first + 1, second - first - 1),
                   content.substr(second + 1)};
}

AgentCache::AgentCache() : dir_(getInstallAgentCacheDir()) {
  trust_ = checkTrust(
      dir_.string().substr(0, dir_.string().size() - INSTALL_AGENT_CACHE_SUBPATH.size()));
}

fs::path AgentCache::agentDirectory() const { return dir_ / INSTALL_AGENT_DIR; }

bool AgentCache::hasAgent() const { return host::pathExists(agentExecutable()); }

host::Status<CacheProblem> AgentCache::prepare() {
  if (mkpath(agentDirectory().string(), 0700) == 0) return {};
  return {CacheProblem::kNoDirectory, dir_.string(), errno};
}

AgentCache::Decision AgentCache::decide(const std::string& tag, const ProofCheck& proven,
                                        const std::function<void()>& waiting,
                                        const std::function<bool()>& givesUp) {
  bool told = false;
  auto waitingOnce = [&] {
    if (!std::exchange(told, true)) waiting();
  };
  Decision decision{Verdict::kStale};
  for (CacheLock::Mode mode : {CacheLock::Mode::kShared, CacheLock::Mode::kExclusive}) {
    CacheLock::Result locked = lock(mode, waitingOnce, givesUp);
    if (locked == CacheLock::Result::kUnavailable) {
      // A cache removed meanwhile (by an agent that uninstalls, say) is made again; where its
      // directories cannot be made (a full disk), that is why there is no lock.
      host::Status<CacheProblem> prepared = prepare();
      if (prepared.ok()) locked = lock(mode, waitingOnce, givesUp);
      if (locked == CacheLock::Result::kUnavailable) {
        if (prepared.ok()) prepared = {CacheProblem::kNotLockable, cacheLockPath(dir_)};
        return {Verdict::kUnlockable, prepared};
      }
    }
    if (locked == CacheLock::Result::kBusy) return {Verdict::kGaveUp};
    if (locked == CacheLock::Result::kHeldAbove) return {Verdict::kHeldAbove};
    if (hasAgent() && isCacheValid(dir_.string(), tag) &&
        (decision.gap = unproven(tag, proven)) == ProofGap::kNone)
      return {Verdict::kCurrent};
  }
  if (hasAgent() && !tag.empty() && S_ISDIR(kindOf(validationStringPath(dir_))))
    decision.gap = ProofGap::kTagIsDirectory;
  removeStaleAgent(tag, proven);
  if (std::optional<KeptProof> kept = readKeptProof(dir_)) decision.keptProof = kept->proof;
  return decision;
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

ProofGap AgentCache::unproven(const std::string& tag, const ProofCheck& proven) const {
  if (!proven) return ProofGap::kNone;
  std::optional<KeptProof> kept = readKeptProof(dir_);
  if (!kept) return ProofGap::kNoProof;
  if (kept->tag != tag || kept->agent.empty() || kept->agent != agentIdentity(agentDirectory()))
    return ProofGap::kOtherAgent;
  return proven(kept->proof) ? ProofGap::kNone : ProofGap::kNotHolding;
}

std::string AgentCache::likelyCurrentTag(const ProofCheck& proven) const {
  if (!hasAgent()) return "";
  std::string tag = storedValidationString(dir_);
  return unproven(tag, proven) == ProofGap::kNone ? tag : "";
}

void AgentCache::writeProof(const KeptProof& kept) const {
  replaceFile(proofPath(dir_), kept.tag + "\n" + kept.agent + "\n" + kept.proof);
}

void AgentCache::forgetAgent() {
  if (std::optional<KeptProof> kept = readKeptProof(dir_); kept && !kept->agent.empty()) {
    kept->agent.clear();
    writeProof(*kept);
  }
}

void AgentCache::removeStaleAgent(const std::string& tag, const ProofCheck& proven) {
  // Under the lock no other run unpacks or writes a tag: a run that died left what is here.
  const std::string unpacking = std::string(INSTALL_AGENT_DIR) + kUnpackingSuffix;
  const std::string tagPrefix = std::string(VALIDATION_STRING_FILE) + ".";
  const std::string proofPrefix = std::string(kProofFile) + ".";
  for (const std::string& name : host::listDirectory(dir_)) {
    if (name.starts_with(unpacking) || name.starts_with(tagPrefix) || name.starts_with(proofPrefix))
      removeTree((dir_ / name).string());
  }
  // A download that is refused must not cost the user an agent that still holds under the key.
  const bool holds =
      proven && hasAgent() && unproven(storedValidationString(dir_), proven) == ProofGap::kNone;
  // The directory itself, or the link that stands in its place, not what it points to.
  if (!holds) {
    if (hasAgent()) removeTree(agentDirectory().string());
    forgetAgent();
  }
  // No tag from the server: no stored tag may vouch for what is downloaded now.
  if (tag.empty()) removeTree(validationStringPath(dir_));
}

host::Status<CacheProblem> AgentCache::unpack(const fs::path& archive, MessageCallback report) {
  const std::string agentDir = agentDirectory().string();
  // A fresh directory beside the agent directory, so a half-unpacked agent never counts.
  std::string fresh = agentDir + kUnpackingSuffix + "XXXXXX";
  if (!mkdtemp(fresh.data())) return {CacheProblem::kNoDirectory, dir_.string(), errno};
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
  // A tag may stand beside no agent, but never vouch for a broken one, nor an old one that stayed.
  if (unzipped == UnzipResult::Unpacked || hasAgent()) removeTree(validationStringPath(dir_));
  return status;
}

host::Status<CacheProblem> AgentCache::install(const fs::path& archive, const std::string& tag,
                                               const std::optional<std::string>& proof,
                                               MessageCallback report) {
  forgetAgent();
  writeValidationString(dir_.string(), tag);
  host::Status<CacheProblem> status = unpack(archive, report);
  if (proof && status.ok()) writeProof({tag, agentIdentity(agentDirectory()), *proof});
  return status;
}

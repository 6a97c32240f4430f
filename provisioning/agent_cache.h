// The per-user cache of the downloaded install agent: the one place that reads or writes it.
//
// Layout, below HOME (or "/tmp" when HOME is unset or empty):
//   .vellum/app_installer_cache/<release>/<platform>/   the cache directory
//       installagent/install                          the agent's entry file
//       .validatestring                               the server's tag of that agent
//       .agentproof                                   its signature, when one was checked
//       .lock                                         the lock of concurrent runs (cache_lock.h)
// Every directory the installer makes there is private (0700); one that another user could
// change is not used (`checkCacheTrust`), and nothing in it is followed through a symbolic link.
// Used on one thread at a time; an odd validation string goes to the system log.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/status.h"
#include "provisioning/cache_lock.h"
#include "provisioning/message.h"
#include "provisioning/signature.h"

// The cache directory, always ending in "/".
std::string getInstallAgentCacheDir();

// The agent directory, with a final "/", when its entry file "install" exists (any kind of
// file); otherwise empty.
std::string installAgentDirOnDisk();

// The entry file of an agent unpacked in `dir`. An empty `dir` gives "install".
std::string getInstallAgentExecutable(const std::filesystem::path& dir);

// The validation-string file of the cache directory `dir`.
std::string validationStringPath(const std::filesystem::path& dir);

// True when the first line of the validation-string file in `dir` equals `validationString`
// byte for byte. False on every failure, and when either is empty.
bool isCacheValid(std::string dir, std::string validationString);

// The first line of the validation-string file in `dir`, as `isCacheValid` reads it: only a
// regular file counts, never one reached through a link. Empty when there is none.
std::string storedValidationString(const std::filesystem::path& dir);

// Stores exactly the bytes of `validationString` in the validation-string file in `dir`,
// replacing whatever is there. Does nothing when either is empty; gives up silently when the
// file cannot be written.
void writeValidationString(std::string dir, std::string validationString);

// What a signed download leaves beside the tag of the agent it brought: the archive's signature
// file and BLAKE2b-512 hash, enough to check the signature again under any key without the
// archive. It vouches for the agent only while both the tag and the agent directory are still
// the ones it was stored with: installers without a key, older ones included, change either
// when they change the agent. It stays when the agent goes, so that a later download is never
// older than the last agent verified.
struct AgentProof {
  std::string tag;
  std::string agent;  // the agent directory's identity: device, inode and birth time
  ArchiveHash hash;
  std::string signature;  // the signature file's content
};

// The proof in the cache directory `dir`: only a regular file, never one reached through a link.
std::optional<AgentProof> readAgentProof(const std::filesystem::path& dir);

// Whether the cache may be used by the user who runs the installer. When HOME is unset the
// cache lies in "/tmp", where any user could plant an agent for another to start.
struct CacheTrust {
  std::string directory;  // the first directory that failed the test; empty when none did
  std::string reason;     // why, e.g. "is owned by another user"
  bool trusted() const { return directory.empty(); }
};

// Tests every directory of the cache below HOME or "/tmp" (".vellum" down to the agent directory,
// as far as they exist): each must be owned by the effective user and writable by no one else. A
// symbolic link among them counts only when that user made it, and then its target is tested.
CacheTrust checkCacheTrust();

// The entry file of the agent a download puts in the cache.
std::string cachedAgentExecutable();

// The failure for an untrusted cache, naming the directory:
// "The install agent cache is not safe to use: <directory> <reason>."
std::string untrustedCacheMessage(const CacheTrust& trust);

// What can keep a new agent from its place in the cache.
enum class CacheProblem {
  kNoDirectory,        // no directory could be made in `subject`, the cache directory
  kUnzipMissing,       // the system has no unzip; it has been reported
  kUnzipFailed,        // unzip failed and said why
  kNoEntryFile,        // the archive has no "install" at its top level
  kEntryNotRegular,    // its "install" is no regular file, nor a link to one inside the agent
  kOldAgentStays,      // the agent at `subject` could not be removed
  kNewAgentNotPlaced,  // the new agent could not be renamed to `subject`
  kNotLockable,        // the lock file `subject` cannot be opened (a directory in its place)
};

// Makes the cache's missing directories, down to the agent directory, private (0700). A
// directory that could not be made (kNoDirectory, with mkdir's errno) shows in the steps that
// follow, as a lock that cannot be had first.
host::Status<CacheProblem> prepareCache();

// One run's use of the user's cache: from the decision on the first data, under the cache's
// lock, to the agent's start; the agent then holds the lock while it runs.
class AgentCache {
 public:
  AgentCache() : dir_(getInstallAgentCacheDir()) {}

  // The decision on the first data of a download whose server tags the archive `tag`.
  enum class Verdict {
    kCurrent,     // the cached agent is the one tagged `tag` (with `keys`, its proof holds)
    kStale,       // it is not; it has gone, and the cache is locked for the new one
    kGaveUp,      // another installer held the lock until `givesUp` said so
    kUnlockable,  // no lock can be had at all: `whyUnlockable` says why
    kHeldAbove,   // the run that started this one (through its agent) holds the lock
  };
  // Reads the cache under the shared lock, and when the agent is not current takes the
  // exclusive one, which may find it current by then (another run brought it); only then does
  // the stale agent go (`removeStaleAgent`). `waiting` is called once when another installer
  // holds the lock; the lock is held afterwards unless the verdict is kGaveUp or kUnlockable.
  Verdict decide(const std::string& tag, const SigningKeys& keys,
                 const std::function<void()>& waiting, const std::function<bool()>& givesUp);
  const host::Status<CacheProblem>& whyUnlockable() const { return whyUnlockable_; }
  void unlock() { lock_->unlock(); }
  // The lock, shared now, for the agent just started from the cache to hold until it has ended.
  std::shared_ptr<CacheLock> passLock();

  // The stored tag, when an agent is on disk and, with `keys`, its proof holds; otherwise empty.
  // Read without the lock: a hint, which `decide` makes sure of.
  std::string likelyCurrentTag(const SigningKeys& keys) const;

  // The seconds since 1970 at which the agent verified last was signed, when its proof still
  // holds under `keys`: no download signed earlier replaces it.
  std::optional<int64_t> lastSignedAt(const SigningKeys& keys) const;

  // Puts the agent in `archive` in place with its tag, and with `proof` (its `agent` filled
  // in here) when the archive's signature was checked. A failed unpacking leaves no agent and
  // no tag that vouches for one; unzip reports to `report`.
  host::Status<CacheProblem> install(const std::filesystem::path& archive, const std::string& tag,
                                     std::optional<AgentProof> proof, MessageCallback report);

 private:
  // Takes the lock in `mode`, polling while another installer holds it.
  CacheLock::Result lock(CacheLock::Mode mode, const std::function<void()>& waiting,
                         const std::function<bool()>& givesUp);
  // Whether the cached agent is the one the server tags `tag`: on disk, its stored tag equal,
  // and, with `keys`, its proof holding under them. When only the proof fails, `why` says why.
  bool holdsCurrentAgent(const std::string& tag, const SigningKeys& keys,
                         std::optional<std::string>* why) const;
  // Under the lock, before a new agent of `tag` is fetched: what runs that died left, and the
  // stale agent (the directory, or the link in its place), go; and without a tag the stored one,
  // which then vouches for nothing.
  void removeStaleAgent(const std::string& tag);
  // The agent directory, and whether its entry file exists (any kind of file).
  std::string agentDirectory() const;
  bool hasAgent() const;
  // Why the agent tagged `tag` has no proof that holds under `keys`; nothing when it has one
  // (always, without keys).
  std::optional<std::string> unproven(const std::string& tag, const SigningKeys& keys) const;
  // Unpacks `archive` into a fresh directory beside the agent's, renamed into place only when
  // it holds an agent.
  host::Status<CacheProblem> unpack(const std::filesystem::path& archive, MessageCallback report);

  std::string dir_;
  std::shared_ptr<CacheLock> lock_ = std::make_shared<CacheLock>();
  host::Status<CacheProblem> whyUnlockable_;
};

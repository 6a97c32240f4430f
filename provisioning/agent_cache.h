// The per-user cache of the downloaded install agent: the one place that reads or writes it.
//
// Layout, below HOME (or "/tmp" when HOME is unset or empty):
//   .vellum/app_installer_cache/<release>/<platform>/   the cache directory
//       installagent/install                          the agent's entry file
//       .validatestring                               the server's tag of that agent
//       .agentproof                                   its proof, when a signature was checked
//       .lock                                         the lock of concurrent runs (cache_lock.h)
// Every directory the installer makes there is private (0700); one that another user could
// change is not used (`AgentCache::trust`), and nothing in it is followed through a symbolic
// link. One `AgentCache` is made for a run, by the agent's sourcing, and used by the download on
// one thread at a time. It knows no signature: it keeps the proof a signed download hands it,
// and asks the caller's `ProofCheck`.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/status.h"
#include "provisioning/cache_lock.h"
#include "provisioning/message.h"

// The cache directory below the current HOME, always ending in "/".
std::string getInstallAgentCacheDir();

// The entry file of an agent unpacked in `dir`. An empty `dir` gives "install".
std::string getInstallAgentExecutable(const std::filesystem::path& dir);

std::string validationStringPath(const std::filesystem::path& dir);

// True when the first line of the validation-string file in `dir` equals `validationString`
// byte for byte. False on every failure, and when either is empty.
bool isCacheValid(std::string dir, std::string validationString);

// The first line of the validation-string file in `dir`, as `isCacheValid` reads it: only a
// regular file counts, never one reached through a link. Empty when there is none.
std::string storedValidationString(const std::filesystem::path& dir);

// Replaces the validation-string file in `dir` with exactly the bytes of `validationString`;
// nothing when either is empty, and silently nothing when the file cannot be written.
void writeValidationString(std::string dir, std::string validationString);

// The proof file: the tag and the agent directory's identity it was stored with, then the bytes
// a signed download handed in. It vouches for the agent only while both are still the agent's
// (installers without a key change either with the agent), and stays, for its signing times.
struct KeptProof {
  std::string tag;
  std::string agent;  // device, inode and birth time; empty once the agent has gone
  std::string proof;
};

// The proof file in the cache directory `dir`: only a regular file, never reached through a link.
std::optional<KeptProof> readKeptProof(const std::filesystem::path& dir);

// Why a directory of the cache may not be used; the status's subject names it.
enum class TrustProblem {
  kUnexaminable,   // cannot be examined
  kLinkOfAnother,  // a symbolic link made by another user
  kNotADirectory,
  kOwnedByAnother,
  kWritableByOthers,  // can be changed by other users
  kNotLockable,       // its lock file cannot be opened (a directory in its place)
};
using CacheTrust = host::Status<TrustProblem>;

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

// Whether the proof bytes kept beside the cached agent vouch for it (with a key, the signed
// archive's `verifyProof`). Empty without a key: every agent its tag names is current.
using ProofCheck = std::function<bool(std::string_view proof)>;

// Why an agent on disk is downloaded again, for the log: its tag is current but its proof is
// not, or its validation string is a directory.
enum class ProofGap {
  kNone,
  kNoProof,     // no signature was checked for it
  kOtherAgent,  // the proof is of another agent
  kNotHolding,  // the `ProofCheck` refused it
  kTagIsDirectory,
};

// One run's use of the user's cache: its trust, checked once when it is made; the decision on
// the first data, under the lock; the new agent put in place; and the lock its agent holds.
class AgentCache {
 public:
  // Reads HOME and checks the cache's trust: every directory from ".vellum" down to the agent
  // directory, as far as they exist, owned by the effective user and writable by no one else (a
  // link only when that user made it, then by its target); none above open to another user.
  AgentCache();

  const CacheTrust& trust() const { return trust_; }
  const std::filesystem::path& directory() const { return dir_; }
  std::filesystem::path agentDirectory() const;
  std::string agentExecutable() const { return getInstallAgentExecutable(agentDirectory()); }
  // Whether the agent's entry file exists (any kind of file).
  bool hasAgent() const;

  // Makes the cache's missing directories, down to the agent directory, private (0700); one
  // that could not be made (kNoDirectory, with mkdir's errno) shows first as a lock that cannot
  // be had. Only for a trusted cache.
  host::Status<CacheProblem> prepare();

  // The decision on the first data of a download whose server tags the archive `tag`.
  enum class Verdict {
    kCurrent,     // the cached agent is the one tagged `tag`, and `proven` says so
    kStale,       // it is not; the cache is locked for the new one
    kGaveUp,      // another installer held the lock until `givesUp` said so
    kUnlockable,  // no lock can be had at all
    kHeldAbove,   // the run that started this one (through its agent) holds the lock
  };
  // The verdict, with what the download needs of it.
  struct Decision {
    Verdict verdict;
    host::Status<CacheProblem> whyUnlockable = {};  // kUnlockable
    // kStale: why the agent on disk was not current, for the log; and the proof bytes kept,
    // whatever agent they are of, the signing times a new download must keep to.
    ProofGap gap = ProofGap::kNone;
    std::string keptProof = {};
  };
  // Reads the cache under the shared lock, and when the agent is not current takes the
  // exclusive one, which may find it current by then (another run brought it); only then does
  // what is stale go (`removeStaleAgent`). `waiting` is called once when another installer
  // holds the lock; the lock is held afterwards unless the verdict is kGaveUp or kUnlockable.
  Decision decide(const std::string& tag, const ProofCheck& proven,
                  const std::function<void()>& waiting, const std::function<bool()>& givesUp);
  void unlock() { lock_->unlock(); }
  // The lock, shared now, for the agent just started from the cache to hold until it has ended.
  std::shared_ptr<CacheLock> passLock();

  // The stored tag, when an agent is on disk and `proven` takes its proof; otherwise empty.
  // Read without the lock: a hint, which `decide` makes sure of.
  std::string likelyCurrentTag(const ProofCheck& proven) const;

  // Puts the agent in `archive` in place with its tag, and `proof` when its signature was checked;
  // a failed unpacking leaves no agent and no tag that vouches for one. unzip reports to `report`.
  host::Status<CacheProblem> install(const std::filesystem::path& archive, const std::string& tag,
                                     const std::optional<std::string>& proof,
                                     MessageCallback report);

 private:
  // Takes the lock in `mode`, polling while another installer holds it.
  CacheLock::Result lock(CacheLock::Mode mode, const std::function<void()>& waiting,
                         const std::function<bool()>& givesUp);
  // Why the agent on disk, tagged `tag`, is not vouched for by its proof; kNone when it is
  // (always, without a check).
  ProofGap unproven(const std::string& tag, const ProofCheck& proven) const;
  // Under the lock, before a new agent of `tag` is fetched: what runs that died left goes, the
  // stale agent (the directory, or the link in its place) unless `proven` still vouches for it
  // (it then goes when the new one is in place), and without a tag the stored one.
  void removeStaleAgent(const std::string& tag, const ProofCheck& proven);
  // The agent goes: its proof vouches for no later one, whatever identity the file system gives
  // that (without birth times, an inode is soon given again), and keeps its signing times.
  void forgetAgent();
  void writeProof(const KeptProof& kept) const;
  // Unpacks `archive` beside the agent's directory, renamed into place only when it holds one.
  host::Status<CacheProblem> unpack(const std::filesystem::path& archive, MessageCallback report);

  std::filesystem::path dir_;
  CacheTrust trust_;
  std::shared_ptr<CacheLock> lock_ = std::make_shared<CacheLock>();
};

// The per-user cache of the downloaded install agent and its validation string.
//
// Layout, below HOME (or "/tmp" when HOME is unset or empty):
//   .vellum/app_installer_cache/<release>/<platform>/   the cache directory
//       installagent/install                          the agent's entry file
//       .validatestring                               the server's tag of that agent
//       .agentproof                                   its signature, when one was checked
//       .lock                                         the lock of concurrent runs (cache_lock.h)
// Every directory the installer makes there is private (0700); one that another user could
// change is not used (`checkCacheTrust`), and nothing in it is followed through a symbolic link.
// Used on one thread at a time; reports nothing (an odd validation string goes to the system
// log).
#pragma once

#include <optional>
#include <string>

#include "provisioning/signature.h"

// The cache directory, always ending in "/".
std::string getInstallAgentCacheDir();

// The agent directory, with a final "/", when its entry file "install" exists (any kind of
// file); otherwise empty.
std::string installAgentDirOnDisk();

// The entry file of an agent unpacked in `dir`: `dir`, "/" unless it ends in one, "install".
// An empty `dir` gives "install".
std::string getInstallAgentExecutable(std::string dir);

// The validation-string file of the cache directory `dir`.
std::string validationStringPath(const std::string& dir);

// True when the first line of the validation-string file in `dir` equals `validationString`
// byte for byte. False on every failure, and when either is empty.
bool isCacheValid(std::string dir, std::string validationString);

// The first line of the validation-string file in `dir`, as `isCacheValid` reads it: only a
// regular file counts, never one reached through a link. Empty when there is none.
std::string storedValidationString(const std::string& dir);

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
  std::string agent;  // `agentIdentity` of the agent directory it vouches for
  ArchiveHash hash;
  std::string signature;  // the signature file's content
};

// The agent directory's identity: device, inode and birth time. A directory unpacked in its
// place, by any installer, has another.
std::string agentIdentity(const std::string& cacheDir);

// The proof in the cache directory `dir`: only a regular file, never one reached through a link.
std::optional<AgentProof> readAgentProof(const std::string& dir);
// Replaces the proof in `dir`, like `writeValidationString`.
void writeAgentProof(const std::string& dir, const AgentProof& proof);

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

// The failure for an untrusted cache, naming the directory:
// "The install agent cache is not safe to use: <directory> <reason>."
std::string untrustedCacheMessage(const CacheTrust& trust);

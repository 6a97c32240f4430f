// The cache's lock: an advisory lock (flock) on ".lock" in the cache directory, which a run holds
// from its decision on the first data until the agent it handed over to has ended (or it gave up):
// shared while it only reads the cache or its agent runs, so that runs of a current agent go on
// together (an agent may start another installer); exclusive while it changes the cache, so that
// no run removes or overwrites an agent another is unpacking, starting or running. The kernel
// releases it when its holder dies. Used on the download's delegate queue; one object per run.
#pragma once

#include <filesystem>
#include <string>

#include "host/files.h"

// Holds the lock while it lives, or until `unlock`.
class CacheLock {
 public:
  enum class Result {
    kHeld,         // held now
    kBusy,         // another process holds it
    kHeldAbove,    // a process that started this one holds it: waiting would never end
    kUnavailable,  // the lock file cannot be opened or made: no lock can be had at all
    kNotNeeded,    // the cache is on a read-only file system: no run can change it
  };

  enum class Mode { kShared, kExclusive };

  // Takes the lock of `cacheDir` in `mode` without waiting; a lock held changes to `mode` and is
  // let go when that is kBusy. The lock file is made 0600, never opened through a symbolic link.
  Result tryLock(const std::filesystem::path& cacheDir, Mode mode = Mode::kExclusive);
  void unlock() { lock_.reset(); }  // closing the only descriptor releases the lock
  bool held() const { return lock_.get() >= 0; }

 private:
  host::FileDescriptor lock_;
};

std::string cacheLockPath(const std::filesystem::path& cacheDir);

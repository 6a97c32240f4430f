#include "provisioning/cache_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const char kLockFile[] = ".lock";

}  // namespace

std::string cacheLockPath(const std::filesystem::path& cacheDir) {
  return (cacheDir / kLockFile).string();
}

CacheLock::Result CacheLock::tryLock(const std::filesystem::path& cacheDir) {
  if (held()) return Result::kHeld;
  // Not passed on to unzip or the agent: a child must not keep the lock after this run.
  lock_.reset(
      open(cacheLockPath(cacheDir).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!held()) return errno == EROFS ? Result::kNotNeeded : Result::kUnavailable;
  // Without waiting, so never interrupted.
  if (flock(lock_.get(), LOCK_EX | LOCK_NB) == 0) return Result::kHeld;
  Result result = errno == EWOULDBLOCK ? Result::kBusy : Result::kUnavailable;
  lock_.reset();
  return result;
}

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

CacheLock::Result CacheLock::tryLock(const std::filesystem::path& cacheDir, Mode mode) {
  if (!held()) {
    // Not passed on to unzip or the agent: a child must not keep the lock after this run.
    lock_.reset(
        open(cacheLockPath(cacheDir).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!held()) return errno == EROFS ? Result::kNotNeeded : Result::kUnavailable;
  }
  // Without waiting, so never interrupted. (flock changes a lock's mode by letting it go first.)
  if (flock(lock_.get(), (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0)
    return Result::kHeld;
  Result result = errno == EWOULDBLOCK ? Result::kBusy : Result::kUnavailable;
  lock_.reset();
  return result;
}

#include "provisioning/cache_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const char kLockFile[] = ".lock";

}  // namespace

std::string cacheLockPath(const std::string& cacheDir) {
  std::string path = cacheDir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + kLockFile;
}

CacheLock::Result CacheLock::tryLock(const std::string& cacheDir) {
  if (held()) return Result::kHeld;
  // Not passed on to unzip or the agent: a child must not keep the lock after this run.
  int fd = open(cacheLockPath(cacheDir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::kUnavailable;
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Result::kBusy : Result::kUnavailable;
  }
  lock_.reset(fd);
  return Result::kHeld;
}

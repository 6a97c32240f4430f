#include "provisioning/cache_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "host/process.h"

namespace {

const char kLockFile[] = ".lock";

// Whether a process above this one (the agent's installer, for a run an agent started) holds a
// lock on the open file `fd`, as /proc/locks lists them: "1: FLOCK ADVISORY READ <pid>
// <major>:<minor>:<inode> 0 EOF". Only the inode is compared: a file system may show locks under
// another device number than stat does (btrfs).
bool heldByAncestor(int fd) {
  struct stat file;
  if (fstat(fd, &file) != 0) return false;
  std::set<pid_t> holders;
  // stdio, not iostreams: those would carry the C++ library's locales into the portable build.
  std::unique_ptr<FILE, int (*)(FILE*)> locks(fopen("/proc/locks", "re"), fclose);
  char line[512];
  while (locks != nullptr && fgets(line, sizeof line, locks.get()) != nullptr) {
    pid_t pid = 0;
    unsigned long inode = 0;
    // A waiter's line has "->" where the kind is, and then fails here.
    if (sscanf(line, "%*s %*s %*s %*s %d %*x:%*x:%lu", &pid, &inode) == 2 &&
        inode == file.st_ino)
      holders.insert(pid);
  }
  for (pid_t pid = getppid(), group = 0; pid > 1;) {
    if (holders.count(pid) != 0) return true;
    if (!host::readParentage(pid, &pid, &group)) break;
  }
  return false;
}

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
  Result result = errno != EWOULDBLOCK          ? Result::kUnavailable
                  : heldByAncestor(lock_.get()) ? Result::kHeldAbove
                                                : Result::kBusy;
  lock_.reset();
  return result;
}

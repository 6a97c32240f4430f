#include "provisioning/cache_lock.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

extern char** environ;

using testsupport::ScratchTest;

TEST_F(ScratchTest, CacheLockIsHeldByOneAtATime) {
  std::string cache = scratch.path() + "/";
  CacheLock first, second;
  EXPECT_EQ(first.tryLock(cache), CacheLock::Result::kHeld);
  EXPECT_TRUE(first.held());
  EXPECT_EQ(first.tryLock(cache), CacheLock::Result::kHeld);  // already ours
  EXPECT_EQ(second.tryLock(cache), CacheLock::Result::kBusy);
  EXPECT_FALSE(second.held());
  first.unlock();
  EXPECT_EQ(second.tryLock(cache), CacheLock::Result::kHeld);
  {
    CacheLock scoped;
    second.unlock();
    EXPECT_EQ(scoped.tryLock(cache), CacheLock::Result::kHeld);
  }
  // Gone with its object.
  EXPECT_EQ(first.tryLock(cache), CacheLock::Result::kHeld);
}

TEST_F(ScratchTest, CacheLockFileIsPrivateAndNeverALink) {
  std::string cache = scratch.makeDir("cache");
  CacheLock lock;
  ASSERT_EQ(lock.tryLock(cache), CacheLock::Result::kHeld);
  struct stat info;
  ASSERT_EQ(lstat(cacheLockPath(cache + "/").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  lock.unlock();

  std::string linked = scratch.makeDir("linked");
  std::string target = scratch.writeFile("target", "");
  ASSERT_EQ(symlink(target.c_str(), cacheLockPath(linked).c_str()), 0);
  EXPECT_EQ(lock.tryLock(linked), CacheLock::Result::kUnavailable);
  EXPECT_EQ(lock.tryLock(scratch.file("missing")), CacheLock::Result::kUnavailable);
  EXPECT_FALSE(lock.held());
}

TEST_F(ScratchTest, CacheLockIsNotKeptByAChild) {
  // A program started while the lock is held (unzip, the agent) must not hold it on.
  std::string cache = scratch.path();
  CacheLock lock;
  ASSERT_EQ(lock.tryLock(cache), CacheLock::Result::kHeld);
  char sleep[] = "sleep";
  char seconds[] = "30";
  char* argv[] = {sleep, seconds, nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
  lock.unlock();
  CacheLock other;
  EXPECT_EQ(other.tryLock(cache), CacheLock::Result::kHeld);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(CacheLockPath, IsTheLockFileInTheCacheDirectory) {
  EXPECT_EQ(cacheLockPath("/h/.vellum/app_installer_cache/Q7312m/x64osx/"),
            "/h/.vellum/app_installer_cache/Q7312m/x64osx/.lock");
  EXPECT_EQ(cacheLockPath("/c"), "/c/.lock");
}

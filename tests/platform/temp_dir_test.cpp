#include "platform/temp_dir.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

using testsupport::listDir;
using testsupport::pathExists;
using testsupport::ScopedEnv;
using testsupport::ScratchTest;

namespace {

mode_t modeOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when `dir` is `base` + "/vl" + six more characters.
bool madeFromTemplate(const std::string& dir, const std::string& base) {
  std::string prefix = base + "/vl";
  return dir.size() == prefix.size() + 6 && dir.compare(0, prefix.size(), prefix) == 0 &&
         dir.find('/', prefix.size()) == std::string::npos;
}

}  // namespace

TEST_F(ScratchTest, TempDirIsMadeInTmpdirAndPrivate) {
  std::string base = scratch.makeDir("tmp");
  ScopedEnv tmpdir("TMPDIR", base);
  TempDir temp("tmp_install_dir");
  std::string dir = temp.getDir();
  EXPECT_TRUE(madeFromTemplate(dir, base)) << dir;
  EXPECT_TRUE(isDirectory(dir));
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(dir.find("tmp_install_dir"), std::string::npos);
}

TEST_F(ScratchTest, TempDirJoinsABaseEndingInASeparatorOnce) {
  std::string base = scratch.makeDir("tmp");
  ScopedEnv tmpdir("TMPDIR", base + "/");
  TempDir temp("x");
  EXPECT_TRUE(madeFromTemplate(temp.getDir(), base)) << temp.getDir();
}

TEST_F(ScratchTest, TwoTempDirsDiffer) {
  ScopedEnv tmpdir("TMPDIR", scratch.makeDir("tmp"));
  TempDir first("a");
  TempDir second("a");
  EXPECT_FALSE(first.getDir().empty());
  EXPECT_NE(first.getDir(), second.getDir());
}

TEST_F(ScratchTest, TempDirRemovesEverythingInside) {
  std::string base = scratch.makeDir("tmp");
  ScopedEnv tmpdir("TMPDIR", base);
  std::string outside = scratch.writeFile("outside.txt", "keep me");
  {
    TempDir temp("x");
    std::string dir = temp.getDir();
    testsupport::writeFile(dir + "/a/b/c.txt", "deep");
    testsupport::writeFile(dir + "/top", "top");
    // A link out of the directory is removed, never followed.
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(symlink(scratch.path().c_str(), (dir + "/dirlink").c_str()), 0);
  }
  EXPECT_TRUE(listDir(base).empty());
  EXPECT_EQ(testsupport::readFile(outside), "keep me");
}

TEST_F(ScratchTest, TempDirRemovesDirectoriesItsOwnerCannotEnter) {
  std::string base = scratch.makeDir("tmp");
  ScopedEnv tmpdir("TMPDIR", base);
  {
    TempDir temp("x");
    std::string dir = temp.getDir();
    // An unpacked archive may carry directories that their owner cannot write or search.
    testsupport::writeFile(dir + "/locked/inner/file", "x");
    ASSERT_EQ(chmod((dir + "/locked/inner").c_str(), 0500), 0);
    ASSERT_EQ(chmod((dir + "/locked").c_str(), 0), 0);
    if (testsupport::pathExists(dir + "/locked/inner"))
      GTEST_SKIP() << "this user enters any directory (root does): the fallback goes unused";
  }
  EXPECT_TRUE(listDir(base).empty());
}

TEST_F(ScratchTest, TempDirWithoutTmpdirUsesSlashTmp) {
  for (bool unset : {true, false}) {
    std::unique_ptr<ScopedEnv> tmpdir =
        unset ? std::make_unique<ScopedEnv>("TMPDIR") : std::make_unique<ScopedEnv>("TMPDIR", "");
    std::string dir;
    {
      TempDir temp("x");
      dir = temp.getDir();
      EXPECT_TRUE(madeFromTemplate(dir, "/tmp")) << dir;
      EXPECT_TRUE(isDirectory(dir));
    }
    EXPECT_FALSE(pathExists(dir));
  }
}

TEST_F(ScratchTest, TempDirFallsBackToTmpWhenTmpdirCannotBeUsed) {
  // One that another user could rename is no private place either.
  std::string shared = scratch.makeDir("shared");
  chmod(shared.c_str(), 0777);
  for (const std::string& unusable :
       {scratch.file("no/such/dir"), scratch.writeFile("plain-file", "x"), shared}) {
    ScopedEnv tmpdir("TMPDIR", unusable);
    TempDir temp("x");
    EXPECT_TRUE(madeFromTemplate(temp.getDir(), "/tmp")) << temp.getDir();
    EXPECT_EQ(temp.tried(), (std::vector<std::string>{unusable, "/tmp"}));
  }
}

TEST_F(ScratchTest, MkpathCreatesMissingLevelsWithTheMode) {
  std::string a = scratch.makeDir("a");
  EXPECT_EQ(mkpath(a + "/b/c", 0700), 0);
  EXPECT_TRUE(isDirectory(a + "/b"));
  EXPECT_TRUE(isDirectory(a + "/b/c"));
  EXPECT_EQ(modeOf(a + "/b"), 0700u);
  EXPECT_EQ(modeOf(a + "/b/c"), 0700u);
  EXPECT_EQ(mkpath(a + "/d", 0750), 0);
  EXPECT_EQ(modeOf(a + "/d"), 0750u);
}

TEST_F(ScratchTest, DirectoriesGetTheirModeWhateverTheUmask) {
  const mode_t mask = umask(0277);
  EXPECT_EQ(mkpath(scratch.file("a/b"), 0700), 0);
  TempDir temp("x");
  umask(mask);
  EXPECT_EQ(modeOf(scratch.file("a")), 0700u);
  EXPECT_EQ(modeOf(scratch.file("a/b")), 0700u);
  EXPECT_EQ(modeOf(temp.getDir()), 0700u);
}

TEST_F(ScratchTest, MkpathOfAnExistingPathChangesNothing) {
  std::string dir = scratch.makeDir("a/b");
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(mkpath(dir, 0700), 0);
  EXPECT_EQ(modeOf(dir), 0755u);
  EXPECT_EQ(listDir(dir).size(), 0u);
}

TEST_F(ScratchTest, MkpathStopsAtAFileWithEnotdir) {
  scratch.writeFile("a/b", "file");
  errno = 0;
  EXPECT_EQ(mkpath(scratch.file("a/b/c"), 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(pathExists(scratch.file("a/b/c")));

  std::string last = scratch.writeFile("last", "file");
  errno = 0;
  EXPECT_EQ(mkpath(last, 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(ScratchTest, MkpathMakesNoEmptyLevels) {
  std::string base = scratch.path();
  EXPECT_EQ(mkpath(base + "//x//y/", 0700), 0);
  EXPECT_TRUE(isDirectory(base + "/x/y"));
  EXPECT_EQ(listDir(base), std::vector<std::string>{"x"});
}

TEST_F(ScratchTest, MkpathOfARelativePathWorksFromTheCurrentDirectory) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  int result = mkpath("rel/one/two", 0700);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(isDirectory(scratch.file("rel/one/two")));
}

TEST_F(ScratchTest, MkpathFailsWhereALevelCannotBeMade) {
  if (testsupport::runningAsRoot()) GTEST_SKIP() << "root ignores directory permissions";
  std::string locked = scratch.makeDir("locked");
  chmod(locked.c_str(), 0500);
  errno = 0;
  EXPECT_EQ(mkpath(locked + "/a/b", 0700), -1);
  EXPECT_EQ(errno, EACCES);
  chmod(locked.c_str(), 0700);
}

TEST(Mkpath, EmptyPathFails) { EXPECT_EQ(mkpath("", 0700), -1); }

TEST(Mkpath, FailsWithMkdirsOwnErrorWhereNothingCanBeMade) {
  // /proc accepts no new directories, not even from root.
  errno = 0;
  EXPECT_EQ(mkpath("/proc/no-such-level/agent", 0700), -1);
  EXPECT_EQ(errno, ENOENT);
}

#include "provisioning/agent_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

using testsupport::readFile;
using testsupport::ScopedEnv;
using testsupport::ScratchTest;

TEST(CacheDir, FollowsHome) {
  {
    ScopedEnv home("HOME", "/Users/a");
    EXPECT_EQ(getInstallAgentCacheDir(), "/Users/a/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
  {
    ScopedEnv home("HOME", "/Users/a/");
    EXPECT_EQ(getInstallAgentCacheDir(), "/Users/a/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
  {
    ScopedEnv home("HOME", "/");
    EXPECT_EQ(getInstallAgentCacheDir(), "/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
  {
    ScopedEnv home("HOME", "");
    EXPECT_EQ(getInstallAgentCacheDir(), "/tmp/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
  {
    ScopedEnv home("HOME");
    EXPECT_EQ(getInstallAgentCacheDir(), "/tmp/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
  {
    // A one-character home is a directory like any other, not the start of a name.
    ScopedEnv home("HOME", "h");
    EXPECT_EQ(getInstallAgentCacheDir(), "h/.vellum/app_installer_cache/Q7312m/x64osx/");
  }
}

TEST(AgentExecutable, JoinsInstallOnce) {
  EXPECT_EQ(getInstallAgentExecutable("/x/y"), "/x/y/install");
  EXPECT_EQ(getInstallAgentExecutable("/x/y/"), "/x/y/install");
  EXPECT_EQ(getInstallAgentExecutable(""), "install");
}

class CacheTest : public ScratchTest {
 protected:
  void SetUp() override { home_ = std::make_unique<ScopedEnv>("HOME", scratch.path()); }
  std::string cacheDir() const {
    return scratch.path() + "/.vellum/app_installer_cache/Q7312m/x64osx/";
  }
  std::unique_ptr<ScopedEnv> home_;
};

TEST_F(CacheTest, AgentIsOnDiskExactlyWhenItsEntryFileExists) {
  EXPECT_FALSE(AgentCache().hasAgent());
  std::string agentDir = scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx/installagent");
  EXPECT_FALSE(AgentCache().hasAgent());
  testsupport::writeFile(agentDir + "/install", "#!/bin/sh\n");
  EXPECT_EQ(AgentCache().agentExecutable(), cacheDir() + "installagent/install");
  EXPECT_TRUE(AgentCache().hasAgent());
}

TEST_F(CacheTest, ACacheRemovedBeforeTheDecisionIsMadeAgain) {
  AgentCache cache;
  ASSERT_TRUE(cache.prepare().ok());
  std::filesystem::remove_all(scratch.path() + "/.vellum");
  EXPECT_EQ(cache.decide("\"v1\"", {}, [] {}, [] { return false; }).verdict,
            AgentCache::Verdict::kStale);
}

TEST_F(CacheTest, AnyKindOfEntryFileCounts) {
  scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx/installagent/install");
  EXPECT_TRUE(AgentCache().hasAgent());
  // Such an agent that stays (a file of root's inside it, say) is not vouched for by the tag of
  // an archive that did not unpack.
  testsupport::writeFile(scratch.file("agent.zip"), "not a zip");
  auto quiet = [](const std::string&, bool) {};
  EXPECT_FALSE(AgentCache().install(scratch.file("agent.zip"), "\"v2\"", std::nullopt, quiet).ok());
  EXPECT_EQ(storedValidationString(cacheDir()), "");
}

TEST_F(CacheTest, ValidationStringIsStoredAsItsBytes) {
  std::string dir = scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx");
  writeValidationString(cacheDir(), "\"5f3a-1c2\"");
  EXPECT_EQ(readFile(dir + "/.validatestring"), "\"5f3a-1c2\"");
  EXPECT_TRUE(isCacheValid(cacheDir(), "\"5f3a-1c2\""));
  EXPECT_FALSE(isCacheValid(cacheDir(), "\"5f3a-1c3\""));
  writeValidationString(cacheDir(), "W/\"x\"");
  EXPECT_EQ(readFile(dir + "/.validatestring"), "W/\"x\"");
}

TEST_F(ScratchTest, OnlyTheFirstLineOfTheValidationStringCounts) {
  std::string dir = scratch.path();
  std::string file = dir + "/.validatestring";
  auto validWith = [&](const std::string& stored, const std::string& expected) {
    testsupport::writeFile(file, stored);
    return isCacheValid(dir, expected);
  };
  EXPECT_TRUE(validWith("abc", "abc"));
  EXPECT_TRUE(validWith("abc\n", "abc"));
  EXPECT_TRUE(validWith("abc\nmore\n", "abc"));
  EXPECT_FALSE(validWith("abc\r\n", "abc"));
  EXPECT_FALSE(validWith("ab", "abc"));
  EXPECT_FALSE(validWith("abcd", "abc"));
  EXPECT_FALSE(validWith("ABC", "abc"));
}

TEST_F(ScratchTest, CacheIsNotValidWithoutAStringToCompare) {
  std::string dir = scratch.path();
  EXPECT_FALSE(isCacheValid(dir, "abc"));  // no file
  scratch.writeFile(".validatestring", "");
  EXPECT_FALSE(isCacheValid(dir, ""));
  EXPECT_FALSE(isCacheValid("", "abc"));
  EXPECT_FALSE(isCacheValid("", ""));
}

TEST_F(ScratchTest, EmptyArgumentsWriteNothing) {
  std::string file = scratch.writeFile(".validatestring", "old");
  writeValidationString(scratch.path(), "");
  EXPECT_EQ(readFile(file), "old");
  writeValidationString("", "new");
  EXPECT_EQ(readFile(file), "old");
}

TEST_F(ScratchTest, WritingIntoAMissingDirectoryGivesUpQuietly) {
  writeValidationString(scratch.file("missing"), "tag");
  EXPECT_FALSE(testsupport::pathExists(scratch.file("missing")));
}

TEST_F(ScratchTest, WhatIsWrittenIsValid) {
  for (const std::string tag : {"1", "\"abc-123\"", "with blank", "tab\there", "x\r"}) {
    writeValidationString(scratch.path() + "/", tag);
    EXPECT_TRUE(isCacheValid(scratch.path() + "/", tag)) << tag;
    EXPECT_TRUE(isCacheValid(scratch.path(), tag)) << tag;
  }
}

// Trust in the cache: each level below HOME must be the user's own and closed to others.
class CacheTrustTest : public CacheTest {
 protected:
  std::string level(const std::string& relative) const { return scratch.file(relative); }
  // The whole chain down to the agent directory, as provisioning makes it.
  void makeChain() const {
    scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx/installagent");
    std::string path = scratch.path();
    for (const char* name :
         {".vellum", "app_installer_cache", "Q7312m", "x64osx", "installagent"}) {
      path += std::string("/") + name;
      chmod(path.c_str(), 0700);
    }
  }
};

TEST_F(CacheTrustTest, MissingOrPrivateLevelsAreTrusted) {
  EXPECT_TRUE(AgentCache().trust().ok());
  scratch.makeDir(".vellum");
  chmod(level(".vellum").c_str(), 0700);
  EXPECT_TRUE(AgentCache().trust().ok());
  makeChain();
  EXPECT_TRUE(AgentCache().trust().ok());
  // Read and search permission for others does not let them plant anything.
  chmod(level(".vellum").c_str(), 0755);
  EXPECT_TRUE(AgentCache().trust().ok());
}

TEST_F(CacheTrustTest, LevelWritableByOthersIsNamed) {
  makeChain();
  const std::vector<std::pair<std::string, mode_t>> cases = {
      {".vellum", 0770},
      {".vellum/app_installer_cache", 0702},
      {".vellum/app_installer_cache/Q7312m/x64osx", 0777},
      {".vellum/app_installer_cache/Q7312m/x64osx/installagent", 01777},
  };
  for (const auto& [relative, mode] : cases) {
    SCOPED_TRACE(relative);
    chmod(level(relative).c_str(), mode);
    CacheTrust trust = AgentCache().trust();
    EXPECT_EQ(trust.subject(), level(relative));
    EXPECT_EQ(trust.code(), TrustProblem::kWritableByOthers);
    chmod(level(relative).c_str(), 0700);
  }
  EXPECT_TRUE(AgentCache().trust().ok());
}

TEST_F(CacheTrustTest, LevelThatIsNotADirectoryIsNamed) {
  scratch.makeDir(".vellum/app_installer_cache/Q7312m");
  chmod(level(".vellum").c_str(), 0700);
  chmod(level(".vellum/app_installer_cache").c_str(), 0700);
  chmod(level(".vellum/app_installer_cache/Q7312m").c_str(), 0700);
  scratch.writeFile(".vellum/app_installer_cache/Q7312m/x64osx", "", 0600);
  CacheTrust trust = AgentCache().trust();
  EXPECT_EQ(trust.subject(), level(".vellum/app_installer_cache/Q7312m/x64osx"));
  EXPECT_EQ(trust.code(), TrustProblem::kNotADirectory);
}

TEST_F(CacheTrustTest, OwnLinkCountsByItsTarget) {
  std::string elsewhere = scratch.makeDir("elsewhere");
  chmod(elsewhere.c_str(), 0700);
  ASSERT_EQ(symlink(elsewhere.c_str(), level(".vellum").c_str()), 0);
  EXPECT_TRUE(AgentCache().trust().ok());
  chmod(elsewhere.c_str(), 0777);
  CacheTrust trust = AgentCache().trust();
  EXPECT_EQ(trust.subject(), level(".vellum"));
  EXPECT_EQ(trust.code(), TrustProblem::kWritableByOthers);
}

TEST_F(CacheTrustTest, AnotherUsersLevelOrLinkIsNamed) {
  if (!testsupport::runningAsRoot()) GTEST_SKIP() << "only root can give a file to another user";
  const uid_t other = 65534;
  makeChain();
  std::string x64osx = level(".vellum/app_installer_cache/Q7312m/x64osx");
  ASSERT_EQ(chown(x64osx.c_str(), other, static_cast<gid_t>(-1)), 0);
  CacheTrust trust = AgentCache().trust();
  EXPECT_EQ(trust.subject(), x64osx);
  EXPECT_EQ(trust.code(), TrustProblem::kOwnedByAnother);
  ASSERT_EQ(chown(x64osx.c_str(), getuid(), static_cast<gid_t>(-1)), 0);

  // A link planted by another user, even one that leads to a private directory of ours.
  std::string target = scratch.makeDir("target");
  chmod(target.c_str(), 0700);
  std::string agentDir = x64osx + "/installagent";
  rmdir(agentDir.c_str());
  ASSERT_EQ(symlink(target.c_str(), agentDir.c_str()), 0);
  EXPECT_TRUE(AgentCache().trust().ok());
  ASSERT_EQ(lchown(agentDir.c_str(), other, static_cast<gid_t>(-1)), 0);
  trust = AgentCache().trust();
  EXPECT_EQ(trust.subject(), agentDir);
  EXPECT_EQ(trust.code(), TrustProblem::kLinkOfAnother);
}

TEST(CacheTrust, OneCharacterHomeIsFollowedLikeTheCacheDirectory) {
  // HOME "h" makes the cache "h.vellum/..." relative to the working directory; it is missing
  // here, and so trusted, and the levels tested follow the same rule.
  ScopedEnv home("HOME", "h");
  EXPECT_TRUE(AgentCache().trust().ok());
}

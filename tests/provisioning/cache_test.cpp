#include "provisioning/cache.h"

#include <sys/stat.h>

#include <string>

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
    // A one-character home gets no separator of its own.
    ScopedEnv home("HOME", "h");
    EXPECT_EQ(getInstallAgentCacheDir(), "h.vellum/app_installer_cache/Q7312m/x64osx/");
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
  EXPECT_EQ(installAgentDirOnDisk(), "");
  std::string agentDir = scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx/installagent");
  EXPECT_EQ(installAgentDirOnDisk(), "");
  testsupport::writeFile(agentDir + "/install", "#!/bin/sh\n");
  EXPECT_EQ(installAgentDirOnDisk(), cacheDir() + "installagent/");
}

TEST_F(CacheTest, AnyKindOfEntryFileCounts) {
  scratch.makeDir(".vellum/app_installer_cache/Q7312m/x64osx/installagent/install");
  EXPECT_EQ(installAgentDirOnDisk(), cacheDir() + "installagent/");
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

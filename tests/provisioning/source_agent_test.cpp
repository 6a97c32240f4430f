#include "provisioning/source_agent.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "support/message_log.h"
#include "support/scratch_dir.h"

using testsupport::MessageLog;
using testsupport::ScopedEnv;
using testsupport::ScratchTest;

TEST(CarriedArchiveName, MatchesInstallAgentUnderscoreZipOnly) {
  EXPECT_TRUE(isCarriedArchiveName("InstallAgent_a.zip"));
  EXPECT_TRUE(isCarriedArchiveName("InstallAgent_2.zip"));
  EXPECT_TRUE(isCarriedArchiveName("InstallAgent_.zip"));
  EXPECT_TRUE(isCarriedArchiveName("InstallAgent_ with blank.zip"));
  EXPECT_FALSE(isCarriedArchiveName("installagent_a.zip"));
  EXPECT_FALSE(isCarriedArchiveName("InstallAgent_a.ZIP"));
  EXPECT_FALSE(isCarriedArchiveName("InstallAgent_a.zip.bak"));
  EXPECT_FALSE(isCarriedArchiveName("XInstallAgent_a.zip"));
  EXPECT_FALSE(isCarriedArchiveName("InstallAgent.zip"));
  EXPECT_FALSE(isCarriedArchiveName("InstallAgent_zip"));
  EXPECT_FALSE(isCarriedArchiveName("InstallAgent_"));
  EXPECT_FALSE(isCarriedArchiveName(""));
}

// The test program runs from no bundle, so it carries no agent: sourcing goes for the
// download. The download window cannot work without a bundle; whatever it shows, sourcing
// itself adds no message, gives no agent, and has made the cache's agent directory first.
TEST_F(ScratchTest, WithoutABundleTheDownloadIsTriedAndTheAgentDirectoryMade) {
  ScopedEnv home("HOME", scratch.makeDir("home"));
  ScopedEnv display("DISPLAY");
  ScopedEnv wayland("WAYLAND_DISPLAY");
  ScopedEnv url("VL_INTERNAL_INSTALL_AGENT_URL");
  std::string payload = scratch.makeDir("payload");
  MessageLog log;
  EXPECT_EQ(sourceInstallAgent(payload, "", MessageLog::callback), "");
  EXPECT_TRUE(log.all().empty());

  std::string level = scratch.file("home");
  for (const char* name : {".vellum", "app_installer_cache", "Q7312m", "x64osx", "installagent"}) {
    level += std::string("/") + name;
    struct stat info;
    ASSERT_EQ(stat(level.c_str(), &info), 0) << level;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << level;
    EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
  }
}

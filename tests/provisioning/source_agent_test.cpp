#include "provisioning/source_agent.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

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
// download, after it has made the cache's agent directory. A download that hands over to no
// agent gives none, and sourcing adds no message of its own.
TEST_F(ScratchTest, WithoutABundleTheAgentIsDownloadedIntoTheCache) {
  ScopedEnv home("HOME", scratch.makeDir("home"));
  std::string payload = scratch.makeDir("payload");
  std::vector<std::string> asked;
  AgentDownload download = [&](const std::string& to, const std::string& from,
                               std::shared_ptr<AgentCache> cache) {
    asked = {to, from, cache->directory()};
    return std::optional<host::Process>();
  };
  MessageLog log;
  SourcedAgent agent =
      sourceInstallAgent(payload, "https://e.test/a.zip", download, MessageLog::callback);
  EXPECT_EQ(agent.path, "");
  EXPECT_FALSE(agent.running);
  EXPECT_EQ(asked, (std::vector<std::string>{
                       payload + "/InstallAgent.zip", "https://e.test/a.zip",
                       scratch.file("home/.vellum/app_installer_cache/Q7312m/x64osx/")}));
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

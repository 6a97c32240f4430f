// End to end: a per-user cache that another user could have changed is never used. The run
// names the directory, shows no download window, downloads nothing and starts no agent.

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/download_fixture.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using testsupport::BundleBuilder;
using testsupport::RunResult;
using testsupport::TestHttpServer;

class CacheTrustRunTest : public testsupport::DownloadRunTest {
 protected:
  // A cache whose agent is current for the server's tag "v1": a run that trusted it would
  // start that agent at once.
  void plantCurrentAgent() {
    std::string archive = scratch.file("planted.zip");
    ASSERT_TRUE(testsupport::makeAgentZip(archive, {scratch.file("planted-record"), 0, ""}));
    ASSERT_EQ(mkpathForTest(agentDir()), 0);
    ASSERT_EQ(system(("unzip -qq -o '" + archive + "' -d '" + agentDir() + "'").c_str()), 0);
    testsupport::writeFile(tagFile(), "\"v1\"");
  }
  static int mkpathForTest(const std::string& path) {
    return system(("mkdir -p -m 700 '" + path + "'").c_str()) == 0 ? 0 : -1;
  }
  std::string vellum() const { return homeDir() + "/.vellum"; }
};

TEST_F(CacheTrustRunTest, CacheWritableByOthersIsRefusedAndNamed) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  plantCurrentAgent();
  chmod(vellum().c_str(), 0777);
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  expectFailedRun(result, "The install agent cache is not safe to use: " + vellum() +
                              " can be changed by other users.");
  EXPECT_EQ(testsupport::splitConsole(result.err).other.size(), 2u) << result.err;
  EXPECT_EQ(server.hits("/agent.zip"), 0);
  EXPECT_FALSE(testsupport::pathExists(scratch.file("planted-record")));
}

TEST_F(CacheTrustRunTest, DirectoriesOfAnotherUserAreRefused) {
  if (!testsupport::runningAsRoot()) GTEST_SKIP() << "only root can give a file to another user";
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  // The home too: the user could swap the cache a run as root (sudo -E) fills there. Refused,
  // that run makes nothing there: a cache of root's would lock the user out of it.
  for (const std::string& owned : {homeDir(), agentDir()}) {
    if (owned == agentDir()) plantCurrentAgent();
    ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
    RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
    expectFailedRun(result, "The install agent cache is not safe to use: " + owned +
                                " is owned by another user.");
    EXPECT_EQ(testsupport::pathExists(vellum()), owned == agentDir());
    ASSERT_EQ(chown(owned.c_str(), 0, 0), 0);
  }
  EXPECT_EQ(server.hits("/agent.zip"), 0);
  EXPECT_FALSE(testsupport::pathExists(scratch.file("planted-record")));
}

TEST_F(CacheTrustRunTest, LinkPlantedByAnotherUserIsRefused) {
  if (!testsupport::runningAsRoot()) GTEST_SKIP() << "only root can give a file to another user";
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  // The other user's link leads to a private cache of the user's own, agent and tag current.
  plantCurrentAgent();
  std::string moved = scratch.file("moved-vellum");
  ASSERT_EQ(rename(vellum().c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(moved.c_str(), vellum().c_str()), 0);
  ASSERT_EQ(lchown(vellum().c_str(), 65534, 65534), 0);
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  expectFailedRun(result, "The install agent cache is not safe to use: " + vellum() +
                              " is a symbolic link made by another user.");
  EXPECT_FALSE(testsupport::pathExists(scratch.file("planted-record")));
}

TEST_F(CacheTrustRunTest, PrivateCacheMadeByTheInstallerIsUsed) {
  // The same planted agent in a cache made private, as the installer makes it, is started.
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  plantCurrentAgent();
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_TRUE(testsupport::pathExists(scratch.file("planted-record")));
}

TEST_F(CacheTrustRunTest, DirectoriesTheInstallerMakesArePrivate) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  RunResult result = runInstaller(makeBundle(server.url("/agent.zip")), {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  std::string level = homeDir();
  for (const char* name : {".vellum", "app_installer_cache", "Q7312m", "x64osx", "installagent"}) {
    level += std::string("/") + name;
    struct stat info;
    ASSERT_EQ(lstat(level.c_str(), &info), 0) << level;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << level;
    EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
  }
}

}  // namespace

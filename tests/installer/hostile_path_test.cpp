// End to end: paths that hold the shell's special characters, line feeds and bytes that are
// not UTF-8 reach the install agent and unzip byte for byte, and nothing in them is ever run.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/download_fixture.h"
#include "support/installer_fixture.h"
#include "support/test_http_server.h"

using namespace testsupport;

namespace {

// A path component with every kind of trouble; each canary command would leave a file
// "canaryN" in the run's working directory (the scratch directory) if the shell ran it.
const std::string kHostile =
    "b l\tank \"dq\" 'sq' $HOME ${TMPDIR} `touch canary1` $(touch canary2) \\ ;touch canary3; "
    "&touch canary4& |touch canary5 *?[a] ~x #\nlf \xff\xfe\x80 -";

const std::vector<std::string> kCanaries = {"canary1", "canary2", "canary3", "canary4", "canary5"};

}  // namespace

class HostilePathTest : public InstallerTest {
 protected:
  std::string record() const { return scratch.file("record"); }

  // Options whose TMPDIR and HOME are themselves hostile directories.
  RunOptions hostileOptions() {
    hostileTmp_ = scratch.makeDir("tmp/" + kHostile);
    hostileHome_ = scratch.makeDir("home/" + kHostile);
    RunOptions options = installerOptions();
    options.setEnv.push_back({"TMPDIR", hostileTmp_});
    options.setEnv.push_back({"HOME", hostileHome_});
    return options;
  }

  void expectNoCanary() const {
    for (const std::string& canary : kCanaries)
      EXPECT_FALSE(pathExists(scratch.file(canary))) << canary;
  }

  std::string hostileTmp_;
  std::string hostileHome_;
};

TEST_F(HostilePathTest, ReadyAgentInAHostileBundleGetsExactPaths) {
  std::string parent = scratch.makeDir("bundles/" + kHostile);
  BundleBuilder bundle(parent, kHostile);
  std::string ready = bundle.addReadyAgent({record(), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup", "plain"}, hostileOptions());
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, ready);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip",
                                      "plain"}));
  expectNoCanary();
  EXPECT_TRUE(listDir(hostileTmp_).empty());
}

TEST_F(HostilePathTest, ArchiveInAHostileBundleIsUnpackedIntoAHostileTemporaryDirectory) {
  std::string parent = scratch.makeDir("bundles/" + kHostile);
  BundleBuilder bundle(parent, kHostile);
  bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"}, hostileOptions());
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  const std::string prefix = hostileTmp_ + "/vl";
  EXPECT_EQ(runs[0].program.compare(0, prefix.size(), prefix), 0) << runs[0].program;
  EXPECT_EQ(runs[0].program.size(), prefix.size() + 6 + std::string("/install").size());
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip"}));
  expectNoCanary();
  EXPECT_TRUE(listDir(hostileTmp_).empty());
}

TEST_F(HostilePathTest, HostilePatternArchiveNameIsUnpacked) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent_" + kHostile + ".zip", {record(), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"}, hostileOptions());
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readAgentRuns(record()).size(), 1u);
  expectNoCanary();
  EXPECT_TRUE(listDir(hostileTmp_).empty());
}

TEST_F(HostilePathTest, RelativeTemporaryDirectoryThatStartsWithADash) {
  // TMPDIR "-t ..." relative to the working directory: no program may take a path in it for
  // an option, neither unzip nor sh.
  std::string relative = "-t " + kHostile;
  std::string absolute = scratch.makeDir(relative);
  std::string parent = scratch.makeDir("-bundles/-" + kHostile);
  BundleBuilder bundle(parent, "-" + kHostile);
  bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
  RunOptions options = installerOptions();
  options.setEnv.push_back({"TMPDIR", relative});
  RunResult result = runInstaller(bundle, {"Setup"}, options);
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  const std::string prefix = absolute + "/vl";
  EXPECT_EQ(runs[0].program.compare(0, prefix.size(), prefix), 0) << runs[0].program;
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip"}));
  expectNoCanary();
  EXPECT_TRUE(listDir(absolute).empty());
}

// The user's arguments reach the agent byte for byte, each as one word, on every road: from a
// ready agent, from a carried archive and from a download. So does a list longer than a shell
// command line may be.
class HostileArgumentsTest : public DownloadRunTest {};

TEST_F(HostileArgumentsTest, ReachTheAgentByteForByteOnEveryRoad) {
  const std::vector<std::string> hostile = {
      "My Apps", "it's", "say \"hi\"", "$(touch canary2)", "`touch canary1`", ";touch canary3;",
      "*", "line\nfeed", "", kHostile};
  std::vector<std::string> many;
  for (int i = 0; i < 1500; ++i) many.push_back(std::to_string(i) + std::string(96, 'a'));
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  for (const std::vector<std::string>& arguments : {hostile, many}) {
    for (const char* road : {"ready", "archive", "download"}) {
      SCOPED_TRACE(std::string(road) + ", " + std::to_string(arguments.size()) + " arguments");
      BundleBuilder bundle(scratch.makeDir(std::string("bundles/") + road));
      bundle.addBundleZip();
      if (road == std::string("ready")) bundle.addReadyAgent({record(), 0, ""});
      if (road == std::string("archive")) bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
      bundle.setEndpointFile(server.url("/agent.zip"));
      std::vector<std::string> argv = {"Setup"};
      argv.insert(argv.end(), arguments.begin(), arguments.end());
      unlink(record().c_str());
      RunResult result = runInstaller(bundle, argv);
      EXPECT_EQ(result.exitCode, 0) << result.describe();
      std::vector<AgentRun> runs = agentRuns();
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0].arguments, agentWords(bundle, arguments));
    }
  }
  for (const std::string& canary : kCanaries)
    EXPECT_FALSE(pathExists(scratch.file(canary))) << canary;
}

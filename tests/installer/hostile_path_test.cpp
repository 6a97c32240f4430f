// End to end: paths that hold the shell's special characters, line feeds and bytes that are
// not UTF-8 reach the install agent and unzip byte for byte, and nothing in them is ever run.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/download_fixture.h"
#include "support/installer_fixture.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

using namespace testsupport;
namespace fs = std::filesystem;

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

// The one-file installer's name for its unpacked copy, passed on to a plain bundle (by a
// launcher, sudo -E, a line copied from a log), makes the run remove nothing.
TEST_F(HostilePathTest, AnUnpackedCopyNamedByTheEnvironmentAloneIsLeftAlone) {
  BundleBuilder bundle(scratch.makeDir("home/Downloads"));
  bundle.addReadyAgent({record(), 0, ""});
  std::string downloads = scratch.file("home/Downloads");
  chmod(downloads.c_str(), 0700);
  scratch.writeFile("home/Downloads/.running", "");  // a copy's shape, without its proof
  for (const std::string& named : {homeDir(), downloads}) {
    RunOptions options = installerOptions();
    options.setEnv.push_back({"VL_INTERNAL_UNPACKED_COPY", named});
    RunResult result = runInstaller(bundle, {"Setup"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    EXPECT_TRUE(logged(result.err, "VL_INTERNAL_UNPACKED_COPY names " + named +
                                       ", which is not this run's unpacked copy: it is left as "
                                       "it is"))
        << result.err;
    EXPECT_TRUE(pathExists(bundle.executablePath())) << named;
  }
  EXPECT_EQ(readAgentRuns(record()).size(), 2u);
}

// The user's arguments reach the agent byte for byte, each as one word, on every road: from a
// ready agent, from a carried archive and from a download. So does a list longer than a shell
// command line may be.
class HostileArgumentsTest : public DownloadRunTest {};

TEST_F(HostileArgumentsTest, ReachTheAgentByteForByteOnEveryRoad) {
  const std::vector<std::string> hostile = {"My Apps",
                                            "it's",
                                            "say \"hi\"",
                                            "$(touch canary2)",
                                            "`touch canary1`",
                                            ";touch canary3;",
                                            "*",
                                            "line\nfeed",
                                            "",
                                            kHostile};
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
      if (road == std::string("archive"))
        bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
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

TEST_F(HostilePathTest, UnusableTemporaryDirectoryFallsBackToTmpNeverBesideTheBundle) {
  for (const std::string& tmpdir :
       {scratch.file("no/such/dir"), scratch.writeFile("not-a-dir", "x")}) {
    ScratchDir place;
    writeFile(place.path() + "/install", "the user's own file");
    BundleBuilder bundle(place.path());
    bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
    RunOptions options = installerOptions();
    options.setEnv.push_back({"TMPDIR", tmpdir});
    RunResult result = runInstaller(bundle, {"Setup"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    std::vector<AgentRun> runs = readAgentRuns(record());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].program.rfind("/tmp/vl", 0), 0u) << runs[0].program;
    // Nothing was unpacked beside the bundle, over the user's files.
    EXPECT_EQ(listDir(place.path()), (std::vector<std::string>{"Setup.app", "install"}));
    EXPECT_EQ(readFile(place.path() + "/install"), "the user's own file");
    std::remove(record().c_str());
  }
}

// Links and directories that stand in the cache where the installer keeps its agent and its
// tag are replaced, never followed: what they point to is left alone.
class HostileCacheTest : public DownloadRunTest {};

TEST_F(HostileCacheTest, LinksAndDirectoriesInTheCacheAreReplacedNeverFollowed) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v2\""));
  BundleBuilder bundle = makeBundle(server.url("/agent.zip"));
  std::string elsewhere = scratch.makeDir("elsewhere");
  std::string precious = elsewhere + "/precious";
  writeFile(precious, "the user's");

  // "installagent" a link to the user's folder, with an agent there and a stale tag.
  writeFile(elsewhere + "/install", agentScript({scratch.file("stale-record"), 0, ""}));
  fs::create_directories(cacheDir());
  ASSERT_EQ(symlink(elsewhere.c_str(), agentDir().c_str()), 0);
  writeFile(tagFile(), "\"v1\"");
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readFile(precious), "the user's");
  EXPECT_TRUE(pathExists(elsewhere + "/install"));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(agentDir())));

  // ".validatestring" a link to the user's file: the new tag replaces the link.
  fs::remove_all(tagFile());
  ASSERT_EQ(symlink(precious.c_str(), tagFile().c_str()), 0);
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v3\""));
  result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readFile(precious), "the user's");
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(tagFile())));
  EXPECT_EQ(readFile(tagFile()), "\"v3\"");
  struct stat info;
  ASSERT_EQ(stat(tagFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // ".validatestring" a directory: said in the log, downloaded again, and replaced.
  fs::remove_all(tagFile());
  fs::create_directories(tagFile() + "/inside");
  result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_TRUE(logged(result.err, "The validation string " + tagFile() +
                                     " is a directory; the agent is downloaded again"))
      << result.err;
  EXPECT_EQ(readFile(tagFile()), "\"v3\"");
  EXPECT_EQ(agentRuns().size(), 3u);

  // A ".validatestring" that is no entity tag goes into no request: it could carry a header.
  writeFile(tagFile(), "\"v3\"\rX-Injected: yes");
  result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  std::optional<testsupport::SeenRequest> request = server.lastRequest("/agent.zip");
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->header("If-None-Match"));
  EXPECT_FALSE(request->header("X-Injected"));
  EXPECT_EQ(readFile(tagFile()), "\"v3\"");

  // ".lock" a directory: without the lock another run could replace the agent under this one.
  const std::string lock = cacheDir() + ".lock";
  fs::remove(lock);
  fs::create_directory(lock);
  fs::remove(record());
  result = runInstaller(bundle, {"Setup"});
  expectFailedRun(result,
                  "The install agent cache is not safe to use: " + lock + " cannot be locked.");

  // A full file system where the cache's directories go: said as such, not as an unsafe cache.
  if (testsupport::runProgram("unshare", {"unshare", "-m", "true"}).exitCode != 0) return;
  const char* full = "mount -t tmpfs -o nr_inodes=2 none \"$HOME\" && exec \"$0\" Setup";
  result = testsupport::runProgram(
      "unshare", {"unshare", "-m", "sh", "-c", full, bundle.executablePath()}, installerOptions());
  expectFailedRun(result, "Could not make a directory in " + cacheDir() +
                              ": No space left on device");
}

// The address file may come from another system: a line end of CR LF and blanks around the
// address are no part of it.
TEST_F(HostileCacheTest, AddressFileFromAnotherSystemIsUnderstood) {
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  BundleBuilder bundle = makeBundle("");
  bundle.setEndpointFile("  " + server.url("/agent.zip") + " \t\r\nsecond line\r\n");
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(agentRuns().size(), 1u);
}

// End to end: the built installer in a real bundle that carries its install agent, ready or
// as an archive, for each road of the sourcing decision.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/installer_fixture.h"

using namespace testsupport;

namespace {

const char kNotSuccessful[] = "Application install was not successful.";
const char kFailed[] = "Installation failed.";

// True when `path` is "<tmp>/vl" + six characters + "/" + `file`.
bool inRunTempDir(const std::string& path, const std::string& tmp, const std::string& file) {
  std::string prefix = tmp + "/vl";
  std::string suffix = "/" + file;
  return path.size() == prefix.size() + 6 + suffix.size() &&
         path.compare(0, prefix.size(), prefix) == 0 &&
         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         path.find('/', prefix.size()) == prefix.size() + 6;
}

// The names of `dir` in the order in which its listing delivers them.
std::vector<std::string> listingOrder(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing)) names.push_back(entry->d_name);
    closedir(listing);
  }
  return names;
}

}  // namespace

class CarriedAgentTest : public InstallerTest {
 protected:
  std::string record(const std::string& name = "record") const { return scratch.file(name); }
};

TEST_F(CarriedAgentTest, ReadyAgentRunsWithTheBundleArchiveAndTheUsersArguments) {
  BundleBuilder bundle(scratch.path());
  bundle.addBundleZip();
  AgentScript agent{record(), 0,
                    "ls -A \"$TMPDIR\" > " + scratch.file("listing") +
                        "\necho 'agent output'\necho 'agent error' >&2"};
  std::string ready = bundle.addReadyAgent(agent);

  RunResult result = runInstaller(bundle, {"Setup", "-mode", "silent", "two words"});

  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "agent output\n");
  EXPECT_EQ(result.err, "agent error\n");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, ready);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip",
                                      "-mode", "silent", "two words"}));
  // The run's temporary directory existed while the agent ran, and is gone now.
  std::vector<std::string> listing = splitLines(readFile(scratch.file("listing")));
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].size(), 8u);
  EXPECT_EQ(listing[0].substr(0, 2), "vl");
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(CarriedAgentTest, ArchivePathIsPassedEvenWithoutTheArchive) {
  BundleBuilder bundle(scratch.path());
  std::string ready = bundle.addReadyAgent({record(), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, ready);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip"}));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(CarriedAgentTest, AgentFailureEndsTheRunWith255) {
  BundleBuilder bundle(scratch.path());
  bundle.addReadyAgent({record(), 4, ""});
  RunResult result = runInstaller(bundle, {"Setup", "x"});
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string(kNotSuccessful) + "\n" + kFailed + "\n");
  EXPECT_EQ(readAgentRuns(record()).size(), 1u);
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(CarriedAgentTest, ReadyAgentWinsOverEveryArchive) {
  BundleBuilder bundle(scratch.path());
  std::string ready = bundle.addReadyAgent({record("ready"), 0, ""});
  bundle.addAgentArchive("InstallAgent.zip", {record("zip"), 0, ""});
  bundle.addAgentArchive("InstallAgent_1.zip", {record("pattern"), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  ASSERT_EQ(readAgentRuns(record("ready")).size(), 1u);
  EXPECT_EQ(readAgentRuns(record("ready"))[0].program, ready);
  EXPECT_TRUE(readAgentRuns(record("zip")).empty());
  EXPECT_TRUE(readAgentRuns(record("pattern")).empty());
}

TEST_F(CarriedAgentTest, ReadyAgentThatIsADirectoryIsStillChosen) {
  BundleBuilder bundle(scratch.path());
  scratch.makeDir("Setup.app/Contents/Resources/InstallerForMac");
  bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"});
  ASSERT_TRUE(result.exited) << result.describe();
  // A directory is no agent that could run: the run fails, the archive beside it is not used.
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string(kNotSuccessful) + "\n" + kFailed + "\n");
  EXPECT_TRUE(readAgentRuns(record()).empty());
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(CarriedAgentTest, InstallAgentZipIsUnpackedIntoTheRunsTemporaryDirectory) {
  BundleBuilder bundle(scratch.path());
  // The agent runs a program it carries.
  bundle.addAgentArchive(
      "InstallAgent.zip",
      {record(), 0,
       "ls -A \"$(dirname \"$0\")\" > " + scratch.file("listing") +
           "\ncp /bin/true \"$(dirname \"$0\")/lib\" && \"$(dirname \"$0\")/lib/true\" "
           "|| exit 9"},
      {{"lib/tool", "data"}});
  RunResult result = runInstaller(bundle, {"Setup", "--flag"});
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(inRunTempDir(runs[0].program, tmpDir(), "install")) << runs[0].program;
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip",
                                      "--flag"}));
  EXPECT_EQ(splitLines(readFile(scratch.file("listing"))),
            (std::vector<std::string>{"install", "lib"}));
  EXPECT_TRUE(tempEntries().empty());
  // A carried archive never fills the per-user cache.
  EXPECT_FALSE(pathExists(homeDir() + "/.vellum"));

  // Where TMPDIR is mounted noexec, it is unpacked where the programs it carries may run.
  if (runProgram("unshare", {"unshare", "-m", "true"}).exitCode != 0) return;
  const char* noexec = "mount -t tmpfs -o noexec none \"$TMPDIR\" && exec \"$0\" Setup";
  result = runProgram("unshare", {"unshare", "-m", "sh", "-c", noexec, bundle.executablePath()},
                      installerOptions());
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(record()).size(), 2u);
}

TEST_F(CarriedAgentTest, InstallAgentZipWinsOverPatternArchives) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", {record("zip"), 0, ""});
  bundle.addAgentArchive("InstallAgent_2.zip", {record("pattern"), 0, ""});
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(record("zip")).size(), 1u);
  EXPECT_TRUE(readAgentRuns(record("pattern")).empty());
}

TEST_F(CarriedAgentTest, PatternArchiveIsUnpackedWhenThereIsNoInstallAgentZip) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent_7.1.zip", {record(), 3, ""});
  RunResult result = runInstaller(bundle, {"Setup", "a", "b"});
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string(kNotSuccessful) + "\n" + kFailed + "\n");
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(inRunTempDir(runs[0].program, tmpDir(), "install")) << runs[0].program;
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundle.resourcesPath() + "/bundle.zip", "a",
                                      "b"}));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(CarriedAgentTest, FirstListedPatternArchiveIsUsed) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent_a.zip", {record("a"), 0, ""});
  bundle.addAgentArchive("InstallAgent_b.zip", {record("b"), 0, ""});
  std::string first;
  for (const std::string& name : listingOrder(bundle.resourcesPath())) {
    if (name == "InstallAgent_a.zip" || name == "InstallAgent_b.zip") {
      first = name;
      break;
    }
  }
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(record("a")).size(), first == "InstallAgent_a.zip" ? 1u : 0u);
  EXPECT_EQ(readAgentRuns(record("b")).size(), first == "InstallAgent_b.zip" ? 1u : 0u);
}

TEST_F(CarriedAgentTest, NothingCarriedGoesForTheDownloadAndFailsWithoutOne) {
  BundleBuilder bundle(scratch.path());
  bundle.addBundleZip();
  // Names that look like agent archives but are not.
  for (const char* name : {"installagent_a.zip", "InstallAgent_a.ZIP", "InstallAgent_a.zip.bak",
                           "XInstallAgent_a.zip"})
    bundle.addAgentArchive(name, {record(), 0, ""});
  RunOptions options = installerOptions();
  // An endpoint that nothing answers: the download cannot succeed.
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", "http://127.0.0.1:1/none.zip"});
  RunResult result = runInstaller(bundle, {"Setup"}, options);
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  std::vector<std::string> lines = splitLines(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kFailed);
  EXPECT_TRUE(readAgentRuns(record()).empty());
  EXPECT_TRUE(tempEntries().empty());
  // The agent directory of the cache was made, private, before the download.
  struct stat info;
  ASSERT_EQ(stat((cacheDir() + "installagent").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(CarriedAgentTest, UnitTestSwitchUsesTheExecutablesDirectory) {
  for (const std::string value : {"", "1"}) {
    ScratchDir place;
    BundleBuilder bundle(place.path());
    bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
    RunOptions options = installerOptions();
    options.setEnv.push_back({"__VL_BOOTSTRAP_INSTALLER_UNITTEST__", value});
    RunResult result = runInstaller(bundle, {"Setup"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    std::vector<AgentRun> runs = readAgentRuns(record());
    ASSERT_EQ(runs.size(), 1u);
    // The directory that holds the bundle.
    EXPECT_EQ(runs[0].program, place.path() + "/install");
    EXPECT_TRUE(pathExists(place.path() + "/install"));
    EXPECT_TRUE(tempEntries().empty());
    std::remove(record().c_str());
  }
}

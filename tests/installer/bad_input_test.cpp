// End to end: the built installer facing bad input. Each case answers with the installer's
// own messages and exit status, never crashes or hangs, and always removes its temporary
// directory.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/installer_fixture.h"

using namespace testsupport;

namespace {

const char kFailed[] = "Installation failed.";

// The last `count` lines of `text`.
std::vector<std::string> lastLines(const std::string& text, size_t count) {
  std::vector<std::string> lines = splitLines(text);
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
  return lines;
}

}  // namespace

class BadInputTest : public InstallerTest {
 protected:
  std::string record() const { return scratch.file("record"); }
  // A bundle with a ready agent that succeeds.
  std::unique_ptr<BundleBuilder> readyBundle() {
    auto bundle = std::make_unique<BundleBuilder>(scratch.path());
    bundle->addReadyAgent({record(), 0, ""});
    return bundle;
  }
};

TEST_F(BadInputTest, MissingOrEmptyEndpointFileDoesNotStopACarriedAgent) {
  auto bundle = readyBundle();
  RunResult result = runInstaller(*bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");

  bundle->setEndpointFile("");
  result = runInstaller(*bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readAgentRuns(record()).size(), 2u);
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, EndpointFileThatCannotBeOpenedIsReportedAndTheRunGoesOn) {
  auto bundle = readyBundle();
  int fd = makeSocketFile(bundle->resourcesPath() + "/installAgentURL.txt");
  ASSERT_GE(fd, 0);
  RunResult result = runInstaller(*bundle, {"Setup"});
  close(fd);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Failed to open install agent URL file\n");
  EXPECT_EQ(readAgentRuns(record()).size(), 1u);
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, EndpointFileThatIsANamedPipeDoesNotHang) {
  auto bundle = readyBundle();
  ASSERT_EQ(mkfifo((bundle->resourcesPath() + "/installAgentURL.txt").c_str(), 0644), 0);
  RunOptions options = installerOptions();
  options.timeout = std::chrono::seconds(20);
  RunResult result = runInstaller(*bundle, {"Setup"}, options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, BundleWithoutResourcesHasNoAgentToRun) {
  BundleBuilder bundle(scratch.path(), "Setup", "setup", installerExecutable(),
                       /*withResources=*/false);
  RunOptions options = installerOptions();
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", "http://127.0.0.1:1/none.zip"});
  RunResult result = runInstaller(bundle, {"Setup"}, options);
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(lastLines(result.err, 1), std::vector<std::string>{kFailed});
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, ArchiveThatIsNotAZipIsReportedAndNoDownloadIsTried) {
  BundleBuilder bundle(scratch.path());
  std::string archive = bundle.addResource("InstallAgent.zip", "not a zip archive\n");
  RunResult result = runInstaller(bundle, {"Setup"});
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.out, "");
  // unzip explains first, in its own words; then the installer's three lines.
  EXPECT_NE(result.err.find(archive), std::string::npos) << result.err;
  EXPECT_EQ(lastLines(result.err, 3),
            (std::vector<std::string>{"Failed to unzip the install agent",
                                      "Failed to initialize the install agent.", kFailed}));
  EXPECT_FALSE(pathExists(homeDir() + "/.vellum"));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, UnzipAsksNoQuestionOnATerminal) {
  // An encrypted archive: unzip would ask the terminal for its password, and nobody answers.
  BundleBuilder bundle(scratch.path());
  scratch.writeFile("install", "#!/bin/sh\n");
  runProgram("/bin/sh",
             {"sh", "-c", "cd \"$0\" && zip -q -P secret a.zip install", scratch.path()});
  bundle.addResource("InstallAgent.zip", readFile(scratch.file("a.zip")));
  RunResult result = runProgram(
      "/usr/bin/script", {"script", "-qec", "'" + bundle.executablePath() + "' Setup", "/dev/null"},
      installerOptions());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_TRUE(tempEntries().empty());
}

// Started with its standard streams closed, the run and its agent find the null device there.
TEST_F(BadInputTest, ClosedStandardStreamsAreTheNullDevice) {
  BundleBuilder bundle(scratch.path());
  const char* check = "[ \"$(readlink /proc/$$/fd/[012] | grep -cx /dev/null)\" = 3 ] || exit 9";
  bundle.addAgentArchive("InstallAgent.zip", {record(), 0, check});
  RunResult result = runProgram(
      "/bin/sh", {"sh", "-c", "exec \"$0\" Setup 0<&- 1>&- 2>&-", bundle.executablePath()},
      installerOptions());
  EXPECT_EQ(result.exitCode, 0) << result.describe();
}

TEST_F(BadInputTest, ArchiveWithoutAnEntryFileFailsAtTheLaunch) {
  BundleBuilder bundle(scratch.path());
  ASSERT_TRUE(makeZip(bundle.resourcesPath() + "/InstallAgent.zip", {{"readme.txt", "no agent"}}));
  RunResult result = runInstaller(bundle, {"Setup"});
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(lastLines(result.err, 2),
            (std::vector<std::string>{"Application install was not successful.", kFailed}));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, HomeUnsetOrRootDoesNotMatterToACarriedAgent) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", {record(), 0, ""});
  RunOptions unset = installerOptions();
  unset.setEnv = {{"TMPDIR", tmpDir()}};
  unset.unsetEnv.push_back("HOME");
  RunResult result = runInstaller(bundle, {"Setup"}, unset);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");

  RunOptions root = installerOptions();
  root.setEnv.push_back({"HOME", "/"});
  result = runInstaller(bundle, {"Setup"}, root);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readAgentRuns(record()).size(), 2u);
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(BadInputTest, TemporaryDirectoryIsRemovedWhateverTheAgentLeftInIt) {
  BundleBuilder bundle(scratch.path());
  // The agent leaves a directory that nobody may write or search, and one link out.
  bundle.addAgentArchive(
      "InstallAgent.zip",
      {record(), 0,
       "d=$(dirname \"$0\")\nmkdir -p \"$d/locked/inner\"\ntouch \"$d/locked/inner/f\"\n"
       "chmod 0 \"$d/locked/inner\" \"$d/locked\"\nln -s " +
           scratch.path() + " \"$d/out\""});
  RunResult result = runInstaller(bundle, {"Setup"});
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_TRUE(tempEntries().empty());
  EXPECT_TRUE(pathExists(record()));
}

TEST_F(BadInputTest, EmptyEndpointWithNothingCarriedEndsTheRun) {
  BundleBuilder bundle(scratch.path());
  RunOptions options = installerOptions();
  options.setEnv.push_back({"VL_INTERNAL_INSTALL_AGENT_URL", ""});
  options.timeout = std::chrono::seconds(30);
  RunResult result = runInstaller(bundle, {"Setup"}, options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(lastLines(result.err, 1), std::vector<std::string>{kFailed});
  EXPECT_TRUE(tempEntries().empty());
}

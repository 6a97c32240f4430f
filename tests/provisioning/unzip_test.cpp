#include "provisioning/unzip.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/message_log.h"
#include "support/scratch_dir.h"

using testsupport::makeZip;
using testsupport::MessageLog;
using testsupport::pathExists;
using testsupport::readFile;
using testsupport::ScratchTest;

TEST_F(ScratchTest, UnpacksIntoANewDirectory) {
  std::string archive = scratch.file("InstallAgent.zip");
  ASSERT_TRUE(makeZip(archive, {{"install", "#!/bin/sh\n"}, {"lib/helper", "help"}}));
  MessageLog log;
  std::string destination = scratch.file("new-dir");
  EXPECT_EQ(UnzipResult::Unpacked,
            unzipInstallAgent(archive, destination, "unzip", MessageLog::callback));
  EXPECT_EQ(readFile(destination + "/install"), "#!/bin/sh\n");
  EXPECT_EQ(readFile(destination + "/lib/helper"), "help");
  EXPECT_TRUE(log.all().empty());
}

TEST_F(ScratchTest, OverwritesWithoutAskingAndKeepsOtherFiles) {
  std::string archive = scratch.file("InstallAgent.zip");
  ASSERT_TRUE(makeZip(archive, {{"install", "new"}}));
  std::string destination = scratch.makeDir("dest");
  scratch.writeFile("dest/install", "old");
  scratch.writeFile("dest/other", "kept");
  MessageLog log;
  EXPECT_EQ(UnzipResult::Unpacked,
            unzipInstallAgent(archive, destination, "unzip", MessageLog::callback));
  EXPECT_EQ(readFile(destination + "/install"), "new");
  EXPECT_EQ(readFile(destination + "/other"), "kept");
  EXPECT_TRUE(log.all().empty());
}

TEST_F(ScratchTest, MissingArchiveRunsNothing) {
  // A stand-in tool that leaves a marker when it runs.
  std::string marker = scratch.file("tool-ran");
  std::string tool = scratch.writeFile("fake-unzip", "#!/bin/sh\ntouch '" + marker + "'\n", 0755);
  MessageLog log;
  EXPECT_EQ(UnzipResult::Failed, unzipInstallAgent(scratch.file("none.zip"), scratch.file("d"),
                                                   tool, MessageLog::callback));
  EXPECT_TRUE(log.all().empty());
  EXPECT_FALSE(pathExists(marker));

  // The same tool does run for an archive that exists.
  std::string archive = scratch.writeFile("present.zip", "x");
  EXPECT_EQ(UnzipResult::Unpacked,
            unzipInstallAgent(archive, scratch.file("d"), tool, MessageLog::callback));
  EXPECT_TRUE(pathExists(marker));
}

TEST_F(ScratchTest, ArchiveThatIsNotAZipIsReportedOnce) {
  std::string archive = scratch.writeFile("InstallAgent.zip", "this is not a zip archive\n");
  MessageLog log;
  EXPECT_EQ(UnzipResult::Failed,
            unzipInstallAgent(archive, scratch.file("d"), "unzip", MessageLog::callback));
  ASSERT_EQ(log.all().size(), 1u);
  EXPECT_EQ(log.all()[0],
            (testsupport::ReportedMessage{"Failed to unzip the install agent", true}));
}

// A system without the tool is told which package to install; one whose tool cannot run at
// all (not a program) is a failure of the tool.
TEST_F(ScratchTest, AMissingToolNamesItsPackageAndOneThatCannotRunIsReported) {
  std::string archive = scratch.file("InstallAgent.zip");
  ASSERT_TRUE(makeZip(archive, {{"install", "x"}}));
  MessageLog missing;
  EXPECT_EQ(
      unzipInstallAgent(archive, scratch.file("d"), "no-such-unzip-tool", MessageLog::callback),
      UnzipResult::ToolMissing);
  EXPECT_EQ(missing.errors(), std::vector<std::string>{kUnzipMissing});

  MessageLog broken;
  std::string notAProgram = scratch.writeFile("not-a-program", "plain text", 0644);
  EXPECT_EQ(unzipInstallAgent(archive, scratch.file("d"), notAProgram, MessageLog::callback),
            UnzipResult::Failed);
  EXPECT_EQ(broken.errors(), std::vector<std::string>{"Failed to unzip the install agent"});
}

// Runs the test body with the scratch directory as the working directory, where the
// canary commands of hostile names would leave their files.
class HostileUnzipTest : public ScratchTest {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_, sizeof old_), nullptr);
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(old_), 0); }
  char old_[4096];
};

TEST_F(HostileUnzipTest, PathsReachTheToolByteForByte) {
  const std::string hostile =
      "b l\tank \"dq\" 'sq' $HOME ${HOME} `touch canary1` $(touch canary2) \\ ;touch canary3; "
      "&touch canary4& |touch canary5 *?[a] ~ #\nlf \xff\xfe\x80";
  std::string dir = scratch.makeDir(hostile);
  std::string archive = dir + "/" + hostile + ".zip";
  ASSERT_TRUE(makeZip(archive, {{"install", "agent"}}));
  std::string destination = dir + "/out " + hostile;
  MessageLog log;
  EXPECT_EQ(UnzipResult::Unpacked,
            unzipInstallAgent(archive, destination, "unzip", MessageLog::callback));
  EXPECT_EQ(readFile(destination + "/install"), "agent");
  EXPECT_TRUE(log.all().empty());
  for (const char* canary : {"canary1", "canary2", "canary3", "canary4", "canary5"})
    EXPECT_FALSE(pathExists(scratch.file(canary))) << canary;
}

TEST_F(ScratchTest, ToolNameWithABlankIsOneWord) {
  std::string archive = scratch.file("InstallAgent.zip");
  ASSERT_TRUE(makeZip(archive, {{"install", "x"}}));
  // A tool name with a blank names one program; it is not split into "unzip" and more words.
  MessageLog log;
  EXPECT_EQ(UnzipResult::ToolMissing,
            unzipInstallAgent(archive, scratch.file("d"), "unzip -l", MessageLog::callback));
  EXPECT_EQ(log.errors(), std::vector<std::string>{kUnzipMissing});
  EXPECT_FALSE(pathExists(scratch.file("d")));
}

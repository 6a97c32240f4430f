#include "bootstrap/bootstrap.h"

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/message_log.h"
#include "support/scratch_dir.h"

using testsupport::AgentRun;
using testsupport::AgentScript;
using testsupport::MessageLog;
using testsupport::readAgentRuns;
using testsupport::ScratchTest;

class LaunchTest : public ScratchTest {
 protected:
  // A test agent at `name` in the scratch directory, exiting with `status`.
  std::string writeAgent(const std::string& name, int status) {
    return scratch.writeFile(name, testsupport::agentScript({record(), status, ""}));
  }
  std::string record() const { return scratch.file("record"); }
  bool fire(const std::string& agent, const std::string& bundleLocation,
            std::vector<std::string> userArguments) {
    return fireInstallAgentWithArgs(agent, std::nullopt, {bundleLocation, userArguments},
                                    MessageLog::callback);
  }
};

TEST_F(LaunchTest, AgentGetsTheOptionTheArchiveAndTheUserArgumentsAsTheyAre) {
  std::string agent = writeAgent("install", 0);
  MessageLog log;
  EXPECT_TRUE(
      fire(agent, "/Applications/Setup.app/Contents/Resources", {"-mode", "silent", "my file"}));
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, agent);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle",
                                      "/Applications/Setup.app/Contents/Resources/bundle.zip",
                                      "-mode", "silent", "my file"}));
  EXPECT_TRUE(log.all().empty());
}

TEST_F(LaunchTest, WithoutUserArgumentsTheArchiveComesLast) {
  std::string agent = writeAgent("install", 0);
  EXPECT_TRUE(fire(agent, "/R", {}));
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"-installbundle", "/R/bundle.zip"}));
}

TEST_F(LaunchTest, OnlyExitStatusZeroSucceeds) {
  MessageLog log;
  EXPECT_TRUE(fire(writeAgent("good", 0), "/R", {}));
  EXPECT_FALSE(fire(writeAgent("bad", 1), "/R", {}));
  EXPECT_FALSE(fire(writeAgent("worse", 255), "/R", {}));
  std::string killed = scratch.writeFile("killed", "kill -KILL $$\n");
  EXPECT_FALSE(fire(killed, "/R", {}));
  EXPECT_EQ(readAgentRuns(record()).size(), 3u);
  EXPECT_TRUE(log.all().empty());
}

TEST_F(LaunchTest, AgentThatShCannotRunFails) {
  MessageLog log;
  EXPECT_FALSE(fire(scratch.file("missing"), "/R", {}));
  EXPECT_TRUE(log.all().empty());
}

TEST_F(LaunchTest, AgentThatIsADirectoryFails) {
  // sh would take the directory for an empty script and end with status 0.
  MessageLog log;
  EXPECT_FALSE(fire(scratch.makeDir("install"), "/R", {}));
  EXPECT_TRUE(log.all().empty());
}

TEST_F(LaunchTest, PathsReachTheAgentByteForByte) {
  const std::string hostile =
      "b l\tank \"dq\" 'sq' $HOME `touch canary1` $(touch canary2) \\ ;touch canary3; "
      "&touch canary4& |touch canary5 *?[a] ~ #\nlf \xff\xfe";
  std::string dir = scratch.makeDir(hostile);
  std::string agent = dir + "/" + hostile;
  testsupport::writeFile(agent, testsupport::agentScript({record(), 0, ""}));
  std::string bundleLocation = dir + "/Resources " + hostile;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  bool fired = fire(agent, bundleLocation, {"last"});
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(fired);
  std::vector<AgentRun> runs = readAgentRuns(record());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, agent);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", bundleLocation + "/bundle.zip", "last"}));
  for (const char* canary : {"canary1", "canary2", "canary3", "canary4", "canary5"})
    EXPECT_FALSE(testsupport::pathExists(scratch.file(canary))) << canary;
}

TEST(ExtractPayload, HasNothingToDo) {
  MessageLog log;
  EXPECT_EQ(extractPayloadToDir("/nonexistent", false, MessageLog::callback), 0);
  EXPECT_EQ(extractPayloadToDir("", true, MessageLog::callback), 0);
  EXPECT_TRUE(log.all().empty());
}

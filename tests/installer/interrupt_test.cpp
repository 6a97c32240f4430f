// End to end: signals while the install agent runs. The installer waits for the agent's
// command, so an interrupt meant for the installer alone does not cut the run short, and an
// interrupt of the whole terminal group ends the agent and then the run, which still removes
// its temporary directory.
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/installer_fixture.h"

using namespace testsupport;

namespace {

// Waits up to 30 s for `path` to appear.
bool waitForFile(const std::string& path) {
  for (int i = 0; i < 600; ++i) {
    if (pathExists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

class InterruptTest : public InstallerTest {
 protected:
  // An agent that says it started, then waits (at most 30 s) for the file "go".
  AgentScript waitingAgent() const {
    return {scratch.file("record"), 0,
            "touch '" + scratch.file("started") + "'\ni=0\nwhile [ ! -e '" + scratch.file("go") +
                "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done"};
  }
};

TEST_F(InterruptTest, InterruptOfTheInstallerAloneWaitsForTheAgent) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent());
  auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(waitForFile(scratch.file("started")));
  EXPECT_EQ(listDir(tmpDir()).size(), 1u);
  run->signal(SIGINT);
  run->signal(SIGQUIT);
  scratch.writeFile("go", "");
  RunResult result = run->finish();
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InterruptTest, CtrlCOfTheWholeGroupEndsTheRunAndRemovesTheTemporaryDirectory) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent());
  auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(waitForFile(scratch.file("started")));
  run->signal(SIGINT, /*toGroup=*/true);
  RunResult result = run->finish();
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.err, "Application install was not successful.\nInstallation failed.\n");
  EXPECT_TRUE(tempEntries().empty());
}

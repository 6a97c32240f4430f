// End to end: signals while the install agent runs. The installer waits for the agent's
// command; SIGINT, SIGTERM or SIGHUP sent to the installer alone are passed on to the agent,
// the installer waits until the agent has ended and then removes its temporary directory and
// ends with 255. An interrupt of the whole terminal group ends the agent and then the run. An
// agent that a signal ends, on any road, is a failed installation.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/download_fixture.h"
#include "support/test_http_server.h"

using namespace testsupport;

namespace {

// The driver's and main's lines end standard error; before them a shell may have said how
// its command ended ("Terminated", "Hangup").
bool endsWithFailureLines(const std::string& err) {
  const std::string tail = "Application install was not successful.\nInstallation failed.\n";
  return err.size() >= tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

class InterruptTest : public DownloadRunTest {
 protected:
  // An agent that says it started, then waits (at most 30 s) for the file "go". With `trap`,
  // it catches the three signals: it writes the signal's name to "caught", waits a moment
  // (the installer must wait for it), writes whether its own directory (in the run's
  // temporary directory) was still there to "dir-at-exit", and exits with 3. Its long-lived
  // child of its own writes SIGTERM's or SIGHUP's name to "child-caught" (a child in the
  // background ignores SIGINT).
  AgentScript waitingAgent(bool trap) const {
    std::string script;
    if (trap) {
      const std::string caught = scratch.file("child-caught");
      // It says when its traps are set, and the agent starts only then.
      const std::string ready = scratch.file("child-ready");
      script += "rm -f " + ready + "; sh -c 'trap \"echo TERM >> " + caught +
                "; exit\" TERM; trap \"echo HUP >> " + caught + "; exit\" HUP; touch " + ready +
                "; i=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done' &\n" +
                "while [ ! -e " + ready + " ]; do sleep 0.01; done\n";
      for (const char* name : {"INT", "TERM", "HUP"}) {
        script += std::string("trap 'echo ") + name + " >> \"" + scratch.file("caught") +
                  "\"; sleep 0.3; if [ -d \"$(dirname \"$0\")\" ]; then echo present; else echo "
                  "gone; fi > \"" +
                  scratch.file("dir-at-exit") + "\"; exit 3' " + name + "\n";
      }
    }
    script += "touch '" + scratch.file("started") + "'\ni=0\nwhile [ ! -e '" + scratch.file("go") +
              "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done";
    return {scratch.file("record"), 0, script};
  }
};

TEST_F(InterruptTest, SignalToTheInstallerAloneReachesTheAgentAndTheRunCleansUpAfterIt) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent(/*trap=*/true));
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    std::remove(scratch.file("started").c_str());
    std::remove(scratch.file("caught").c_str());
    std::remove(scratch.file("dir-at-exit").c_str());
    std::remove(scratch.file("child-caught").c_str());
    auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
    ASSERT_TRUE(waitForFile(scratch.file("started"), std::chrono::seconds(30)));
    EXPECT_EQ(tempEntries().size(), 1u);
    run->signal(signal);
    RunResult result = run->finish();
    ASSERT_TRUE(result.exited) << result.describe();
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_TRUE(endsWithFailureLines(result.err)) << result.err;
    // Passed on exactly once; the agent ended before the directory went.
    std::string name = signal == SIGINT ? "INT" : signal == SIGTERM ? "TERM" : "HUP";
    EXPECT_EQ(readFile(scratch.file("caught")), name + "\n");
    EXPECT_EQ(readFile(scratch.file("dir-at-exit")), "present\n");
    EXPECT_TRUE(tempEntries().empty());
    // Not the agent's shell alone: every process it started.
    if (signal != SIGINT) {
      EXPECT_TRUE(waitForFile(scratch.file("child-caught"), std::chrono::seconds(5)));
      EXPECT_EQ(readFile(scratch.file("child-caught")), name + "\n");
    }
  }
}

TEST_F(InterruptTest, AReaderOfItsOutputThatHasGoneEndsNothing) {
  // "installer | reader" after the reader has ended: no SIGPIPE ends the run halfway.
  TestHttpServer server;
  server.serve("/agent.zip", archiveReply(agentArchive(0), "\"v1\""));
  std::string status = scratch.file("status");
  runProgram("/bin/sh",
             {"sh", "-c", "{ sleep 0.3; \"$0\" Setup; echo $? > \"$1\"; } 2>&1 | true",
              makeBundle(server.url("/agent.zip")).executablePath(), status},
             installerOptions());
  EXPECT_EQ(readFile(status), "0\n");
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InterruptTest, AgentThatDoesNotCatchTheSignalEndsAndTheRunCleansUp) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent(/*trap=*/false));
  auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(waitForFile(scratch.file("started"), std::chrono::seconds(30)));
  auto sent = std::chrono::steady_clock::now();
  run->signal(SIGTERM);
  RunResult result = run->finish();
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_TRUE(endsWithFailureLines(result.err)) << result.err;
  EXPECT_TRUE(tempEntries().empty());
  // The agent ended at once, not after its own 30 s.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
}

TEST_F(InterruptTest, AgentEndedByASignalFailsTheRunOnEveryRoad) {
  // On the download road the window starts the agent and the driver waits for it; either way
  // an agent's death by a signal is no exit status 0.
  TestHttpServer server;
  BundleBuilder downloading = makeBundle(server.url("/agent.zip"));
  for (std::string signal : {"TERM", "SEGV"}) {
    std::string dies = "ulimit -c 0\nkill -" + signal + " $$";  // no core file
    BundleBuilder carried(scratch.path(), "Carried" + signal);
    carried.addAgentArchive("InstallAgent.zip", {record(), 0, dies});
    // A new tag for each signal: the download road replaces the agent of the one before.
    server.serve("/agent.zip", archiveReply(agentArchive(0, "", {}, dies), "\"" + signal + "\""));
    for (const BundleBuilder* bundle : {&carried, &downloading}) {
      SCOPED_TRACE("SIG" + signal + (bundle == &carried ? ", carried archive" : ", download"));
      std::remove(record().c_str());
      RunResult result = runInstaller(*bundle, {"Setup"});
      ASSERT_TRUE(result.exited) << result.describe();
      EXPECT_EQ(result.exitCode, 255) << result.describe();
      EXPECT_TRUE(endsWithFailureLines(result.err)) << result.err;
      EXPECT_EQ(agentRuns().size(), 1u);
      EXPECT_TRUE(tempEntries().empty());
    }
  }
  EXPECT_EQ(server.hits("/agent.zip"), 2);
}

TEST_F(InterruptTest, QuitOfTheInstallerAloneIsIgnoredWhileTheAgentRuns) {
  // As system() does: only the agent decides what a quit from the terminal means.
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent(/*trap=*/false));
  auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(waitForFile(scratch.file("started"), std::chrono::seconds(30)));
  run->signal(SIGQUIT);
  scratch.writeFile("go", "");
  RunResult result = run->finish();
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InterruptTest, CtrlCOfTheWholeGroupEndsTheRunAndRemovesTheTemporaryDirectory) {
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent(/*trap=*/false));
  auto run = startProgram(bundle.executablePath(), {"Setup"}, installerOptions());
  ASSERT_TRUE(waitForFile(scratch.file("started"), std::chrono::seconds(30)));
  run->signal(SIGINT, /*toGroup=*/true);
  RunResult result = run->finish();
  ASSERT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255);
  EXPECT_EQ(result.err, "Application install was not successful.\nInstallation failed.\n");
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InterruptTest, CtrlCOnATerminalReachesTheAgentOnce) {
  // The terminal sends Ctrl-C to its whole foreground group, the agent included; the installer
  // must not send it a second time.
  BundleBuilder bundle(scratch.path());
  bundle.addAgentArchive("InstallAgent.zip", waitingAgent(/*trap=*/true));
  int master = -1, slave = -1;
  char slaveName[256];
  ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
  close(slave);

  // A session of its own whose controlling terminal is the pseudo-terminal.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, slaveName, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);
  posix_spawn_file_actions_addclose(&actions, master);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> env = {
      "TMPDIR=" + tmpDir(), "HOME=" + homeDir(),
      "PATH=" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = bundle.executablePath();
  char name[] = "Setup";
  char* argv[] = {name, nullptr};
  pid_t pid = -1;
  int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ASSERT_EQ(error, 0);

  ASSERT_TRUE(waitForFile(scratch.file("started"), std::chrono::seconds(30)));
  ASSERT_EQ(write(master, "\x03", 1), 1);  // Ctrl-C
  // Read the terminal until the run ends (bounded), so that its writes never block.
  std::string output;
  int status = 0;
  bool ended = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd fd = {master, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&fd, 1, 100) > 0 ? read(master, buffer, sizeof buffer) : 0;
    if (n > 0) output.append(buffer, n);
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // no writer left
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(master);
  ASSERT_TRUE(ended) << output;
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 255) << output;
  EXPECT_EQ(readFile(scratch.file("caught")), "INT\n");
  EXPECT_EQ(readFile(scratch.file("dir-at-exit")), "present\n");
  EXPECT_TRUE(tempEntries().empty());
}

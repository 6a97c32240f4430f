// Starting a program as a process of its own.
#include "host/process.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

class Process : public testsupport::ScratchTest {};

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

TEST_F(Process, PassesItsArgumentsUnchangedAndReportsTheStatus) {
  std::string out = scratch.file("args.txt");
  host::Process process =
      host::Process::start("/bin/sh", {"-c", "printf '%s\\n' \"$0\" \"$@\" > \"$1\"; exit 3", "sh",
                                       out, "two words", "'quoted'", "\"double\"", ""});
  ASSERT_TRUE(process.started());
  EXPECT_GT(process.pid(), 0);
  EXPECT_EQ(exitCodeOf(process.wait()), 3);
  EXPECT_EQ(testsupport::readFile(out), "sh\n" + out + "\ntwo words\n'quoted'\n\"double\"\n\n");
  EXPECT_EQ(process.wait(), -1);  // already reaped
}

TEST_F(Process, InheritsEnvironmentWorkingDirectoryAndStandardStreams) {
  testsupport::ScopedEnv variable("INSTALLER_PROCESS_TEST", "inherited value");
  std::string out = scratch.file("seen.txt");
  int saved = dup(STDOUT_FILENO);
  int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  dup2(file, STDOUT_FILENO);  // the child's standard output is ours
  host::Process process =
      host::Process::start("/bin/sh", {"-c", "echo \"$INSTALLER_PROCESS_TEST\"; pwd"});
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);
  ASSERT_TRUE(process.started());
  EXPECT_EQ(exitCodeOf(process.wait()), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(testsupport::readFile(out), "inherited value\n" + std::string(cwd) + "\n");
}

TEST_F(Process, KeepsOtherDescriptorsAndIgnoredSigpipeToItself) {
  int open_fd = open(scratch.writeFile("held", "x").c_str(), O_RDONLY);  // no O_CLOEXEC
  ASSERT_GE(open_fd, 3);
  auto previous = signal(SIGPIPE, SIG_IGN);
  std::string out = scratch.file("child.txt");
  host::Process process =
      host::Process::start("/bin/sh", {"-c",
                                       "if [ -e /proc/self/fd/" + std::to_string(open_fd) +
                                           " ]; then echo leaked; else echo closed; fi > \"$0\";"
                                           " grep SigIgn /proc/self/status >> \"$0\"",
                                       out});
  signal(SIGPIPE, previous);
  close(open_fd);
  ASSERT_TRUE(process.started());
  EXPECT_EQ(exitCodeOf(process.wait()), 0);
  std::vector<std::string> lines = testsupport::splitLines(testsupport::readFile(out));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "closed");
  unsigned long long ignored = std::stoull(lines[1].substr(lines[1].find(':') + 1), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << "SIGPIPE stayed ignored in the child";
}

TEST_F(Process, AProgramThatCannotStartIsReported) {
  host::Process process = host::Process::start("/nonexistent/program", {});
  EXPECT_FALSE(process.started());
  EXPECT_EQ(process.error(), ENOENT);
  EXPECT_EQ(process.wait(), -1);
  host::Process none;
  EXPECT_FALSE(none.started());
  EXPECT_EQ(none.wait(), -1);
}

void onSignal(int) {}

TEST_F(Process, WaitRetriesWhenASignalInterruptsIt) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = onSignal;  // no SA_RESTART: waitpid fails with EINTR
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, &previous);
  host::Process process = host::Process::start("/bin/sh", {"-c", "sleep 0.3; exit 4"});
  ASSERT_TRUE(process.started());
  pthread_t waiter = pthread_self();
  std::thread interrupter([waiter] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pthread_kill(waiter, SIGUSR1);
    }
  });
  int status = process.wait();
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(exitCodeOf(status), 4);
}

}  // namespace

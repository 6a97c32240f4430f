#include "host/termination.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/shell.h"
#include "support/scratch_dir.h"

extern char** environ;

using testsupport::pathExists;
using testsupport::ScratchTest;

using host::TerminationGuard;
using host::terminationSignal;
using host::waitForChild;

namespace {

// The handler now installed for `signal`.
void (*handlerOf(int signal))(int) {
  struct sigaction action;
  sigaction(signal, nullptr, &action);
  return action.sa_handler;
}

// Starts "sleep 30" as a child of the test.
pid_t startSleeper() {
  char sleep[] = "sleep";
  char seconds[] = "30";
  char* argv[] = {sleep, seconds, nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

// Restores a signal's disposition when the test ends, whatever happened.
class SavedDisposition {
 public:
  explicit SavedDisposition(int signal) : signal_(signal) { sigaction(signal, nullptr, &saved_); }
  ~SavedDisposition() { sigaction(signal_, &saved_, nullptr); }

 private:
  int signal_;
  struct sigaction saved_;
};

}  // namespace

TEST(TerminationGuard, RecordsTheFirstSignalInsteadOfEndingTheProcess) {
  SavedDisposition saved(SIGTERM);
  EXPECT_EQ(handlerOf(SIGTERM), SIG_DFL);
  {
    TerminationGuard guard;
    EXPECT_EQ(terminationSignal(), 0);
    raise(SIGTERM);
    raise(SIGINT);
    raise(SIGHUP);
    EXPECT_EQ(terminationSignal(), SIGTERM);
  }
  EXPECT_EQ(handlerOf(SIGTERM), SIG_DFL);
  EXPECT_EQ(handlerOf(SIGINT), SIG_DFL);
  // A new guard starts afresh.
  TerminationGuard guard;
  EXPECT_EQ(terminationSignal(), 0);
}

TEST(TerminationGuard, LeavesASignalIgnoredThatWasIgnored) {
  SavedDisposition saved(SIGHUP);
  signal(SIGHUP, SIG_IGN);
  {
    TerminationGuard guard;
    EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
    raise(SIGHUP);
    EXPECT_EQ(terminationSignal(), 0);
  }
  EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
}

TEST(TerminationGuard, InnerGuardChangesNothing) {
  TerminationGuard outer;
  {
    TerminationGuard inner;
    raise(SIGINT);
  }
  EXPECT_EQ(terminationSignal(), SIGINT);
  EXPECT_NE(handlerOf(SIGINT), SIG_DFL);
}

TEST(WaitForChild, PassesASignalOnToTheChildAndCollectsIt) {
  TerminationGuard guard;
  pid_t child = startSleeper();
  ASSERT_GT(child, 0);
  std::thread sender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(getpid(), SIGTERM);
  });
  int status = waitForChild(child);
  sender.join();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(terminationSignal(), SIGTERM);
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);  // collected
}

TEST(WaitForChild, ASignalThatCameBeforeGoesToTheChildAtOnce) {
  TerminationGuard guard;
  raise(SIGHUP);
  pid_t child = startSleeper();
  ASSERT_GT(child, 0);
  int status = waitForChild(child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGHUP);
}

TEST(WaitForChild, IgnoresQuitWhileItWaitsAndRestoresItAfter) {
  SavedDisposition saved(SIGQUIT);
  pid_t child = startSleeper();
  ASSERT_GT(child, 0);
  std::thread sender([child] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(getpid(), SIGQUIT);  // would end the test program if it were not ignored
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child, SIGKILL);
  });
  int status = waitForChild(child);
  sender.join();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(handlerOf(SIGQUIT), SIG_DFL);
}

TEST(WaitForChild, WithoutAChildAnswersMinusOne) { EXPECT_EQ(waitForChild(0), -1); }

TEST_F(ScratchTest, CallSystemStartsNothingOnceTheRunWasAskedToStop) {
  TerminationGuard guard;
  raise(SIGINT);
  std::string marker = scratch.file("ran");
  int status = call_system("touch", "touch " + shell_word(marker));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_FALSE(pathExists(marker));
}

TEST_F(ScratchTest, CallSystemPassesASignalOnToTheCommand) {
  TerminationGuard guard;
  std::thread sender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(getpid(), SIGTERM);
  });
  // The shell runs the loop itself, so the signal that ends it must be the one passed on.
  std::string done = scratch.file("done");
  int status = call_system("sh", "trap 'touch " + shell_word(done) +
                                     "; exit 7' TERM; i=0; while [ $i -lt 300 ]; do sleep 0.1; "
                                     "i=$((i+1)); done");
  sender.join();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_TRUE(pathExists(done));
}

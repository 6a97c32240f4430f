#include "provisioning/message.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Runs `report` in a child process whose standard output and error are two pipes, or one
// pipe when `oneStream`; returns what came out on each.
struct Output {
  std::string out, err;
};

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(fd);
  return text;
}

Output inChild(void (*report)(), bool oneStream) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  fflush(stdout);  // nothing of the test program may be copied into the child
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(oneStream ? out[1] : err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    report();
    _exit(0);  // no flush at exit: only what the reporter flushed arrives
  }
  close(out[1]);
  close(err[1]);
  Output result;
  result.out = drain(out[0]);
  result.err = drain(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return result;
}

}  // namespace

TEST(ConsoleReporter, ErrorsGoToStandardErrorInformationToStandardOutput) {
  Output output = inChild(
      [] {
        report_message_to_console("information", false);
        report_message_to_console("an error", true);
        report_message_main("via main", false);
        report_message_main("main error", true);
      },
      false);
  EXPECT_EQ(output.out, "information\nvia main\n");
  EXPECT_EQ(output.err, "an error\nmain error\n");
}

TEST(ConsoleReporter, FlushesEachLineSoStreamsKeepTheirOrder) {
  Output output = inChild(
      [] {
        report_message_main("one", false);
        report_message_main("two", true);
        report_message_main("three", false);
        report_message_main("", true);
        report_message_main(std::string("nul\0byte", 8), false);
      },
      true);
  EXPECT_EQ(output.out, std::string("one\ntwo\nthree\n\nnul\0byte\n", 24));
}

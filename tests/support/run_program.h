// Running a program as a real child process from a test, and capturing what it did.
//
// `runProgram` starts `program` (looked up in PATH when it holds no "/") with the argument
// vector `argv` (argv[0] included, so a test chooses the name the program sees) and the test's
// environment changed by `options`, reads its standard output and standard error separately
// (or merged into `out`), and waits for it. Standard input is /dev/null. The child gets a
// process group of its own, default signal dispositions and an empty signal mask.
//
// Bounded: after `options.timeout` the whole process group is killed (SIGKILL) and
// `timedOut` is set. After the child itself has ended, output is read only for a short grace
// period, so a grandchild that keeps the pipes open does not hold the test.
//
// `startProgram` runs it in the background (a reader thread drains the pipes); `finish` waits
// for the result. Use it when the test must act while the program runs.
//
// Example:
//   RunOptions options;
//   options.setEnv = {{"TMPDIR", scratch.path()}};
//   options.unsetEnv = {"DISPLAY"};
//   RunResult result = runProgram(setupPath, {"Setup", "-mode", "silent"}, options);
//   EXPECT_EQ(result.exitCode, 0);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> setEnv;  // set or override
  std::vector<std::string> unsetEnv;                        // removed
  std::string workingDirectory;                             // empty: the test's own
  std::chrono::milliseconds timeout{60'000};                // then the group is killed
  bool mergeOutput = false;  // standard error goes into `out` too, in write order

  // Sends `signal` after `delay`: to the child only, or, with `toGroup`, to its whole process
  // group (as a terminal's Ctrl-C does).
  struct DelayedSignal {
    int signal = 0;
    std::chrono::milliseconds delay{0};
    bool toGroup = false;
  };
  std::optional<DelayedSignal> sendSignal;
};

struct RunResult {
  bool started = false;  // false when the program could not be started at all
  int status = -1;       // raw waitpid status
  bool exited = false;   // ended by exit: `exitCode` holds its status
  int exitCode = -1;
  bool signaled = false;  // ended by a signal: `termSignal` holds it
  int termSignal = 0;
  bool timedOut = false;  // killed because `timeout` passed
  // When the child itself was collected (its output may come a little later).
  std::chrono::steady_clock::time_point endedAt;
  std::string out;               // standard output (and error, when merged)
  std::string err;               // standard error
  std::string describe() const;  // a summary for assertion messages
};

class RunningProgram {
 public:
  ~RunningProgram();  // kills the group and waits, unless finished
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const;
  // Sends `signal` to the child (or its process group) now.
  void signal(int signal, bool toGroup = false) const;
  // Waits for the end (bounded by the timeout) and returns the result; call once.
  RunResult finish();

  struct State;
  explicit RunningProgram(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

std::unique_ptr<RunningProgram> startProgram(const std::string& program,
                                             const std::vector<std::string>& argv,
                                             const RunOptions& options = {});

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const RunOptions& options = {});

}  // namespace testsupport

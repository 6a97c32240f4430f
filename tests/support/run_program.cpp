#include "support/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// How long output is still read after the child itself has ended.
constexpr std::chrono::milliseconds kGraceAfterExit{2000};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::vector<std::string> buildEnvironment(const RunOptions& options) {
  std::map<std::string, std::string> variables;
  std::vector<std::string> order;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const std::string& name : options.unsetEnv) variables.erase(name);
  for (const auto& [name, value] : options.setEnv) variables[name] = value;
  std::vector<std::string> result;
  for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
  return result;
}

}  // namespace

struct RunningProgram::State {
  pid_t pid = -1;
  RunOptions options;
  RunResult result;
  Fd outPipe, errPipe;
  std::thread reader;
  std::atomic<bool> done{false};
  bool finished = false;

  void readUntilEnd();
};

void RunningProgram::State::readUntilEnd() {
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + options.timeout;
  std::optional<Clock::time_point> signalAt;
  if (options.sendSignal) signalAt = start + options.sendSignal->delay;
  std::optional<Clock::time_point> exitedAt;
  bool reaped = false;
  char buffer[65536];

  for (;;) {
    std::vector<pollfd> fds;
    if (outPipe.get() >= 0) fds.push_back({outPipe.get(), POLLIN, 0});
    if (errPipe.get() >= 0) fds.push_back({errPipe.get(), POLLIN, 0});

    if (!reaped) {
      int status = 0;
      pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended == pid) {
        reaped = true;
        result.status = status;
        exitedAt = Clock::now();
        result.endedAt = *exitedAt;
      }
    }
    Clock::time_point now = Clock::now();
    if (reaped && (fds.empty() || now - *exitedAt > kGraceAfterExit)) break;
    if (!reaped && now >= deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      int status = 0;
      while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
      }
      result.status = status;
      reaped = true;
      exitedAt = Clock::now();
      result.endedAt = *exitedAt;
      continue;
    }
    if (signalAt && now >= *signalAt && !reaped) {
      if (options.sendSignal->toGroup)
        kill(-pid, options.sendSignal->signal);
      else
        kill(pid, options.sendSignal->signal);
      signalAt.reset();
    }

    if (fds.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    int ready = poll(fds.data(), fds.size(), 20);
    if (ready <= 0) continue;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n > 0) {
        (p.fd == outPipe.get() ? result.out : result.err).append(buffer, n);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (p.fd == outPipe.get())
          outPipe.reset();
        else
          errPipe.reset();
      }
    }
  }
  outPipe.reset();
  errPipe.reset();
  result.exited = WIFEXITED(result.status);
  if (result.exited) result.exitCode = WEXITSTATUS(result.status);
  result.signaled = WIFSIGNALED(result.status);
  if (result.signaled) result.termSignal = WTERMSIG(result.status);
  done = true;
}

RunningProgram::RunningProgram(std::unique_ptr<State> state) : state_(std::move(state)) {}

RunningProgram::~RunningProgram() {
  if (!state_->finished && state_->reader.joinable()) {
    if (!state_->done) {
      kill(-state_->pid, SIGKILL);
      kill(state_->pid, SIGKILL);
    }
    state_->reader.join();
  }
}

pid_t RunningProgram::pid() const { return state_->pid; }

void RunningProgram::signal(int signal, bool toGroup) const {
  if (state_->done || state_->pid <= 0) return;
  kill(toGroup ? -state_->pid : state_->pid, signal);
}

RunResult RunningProgram::finish() {
  if (!state_->finished) {
    if (state_->reader.joinable()) state_->reader.join();
    state_->finished = true;
  }
  return state_->result;
}

std::unique_ptr<RunningProgram> startProgram(const std::string& program,
                                             const std::vector<std::string>& argv,
                                             const RunOptions& options) {
  auto state = std::make_unique<RunningProgram::State>();
  state->options = options;

  int outFds[2], errFds[2] = {-1, -1};
  if (pipe2(outFds, O_CLOEXEC) != 0) return std::make_unique<RunningProgram>(std::move(state));
  if (!options.mergeOutput && pipe2(errFds, O_CLOEXEC) != 0) {
    close(outFds[0]);
    close(outFds[1]);
    return std::make_unique<RunningProgram>(std::move(state));
  }
  state->outPipe.reset(outFds[0]);
  Fd outWrite(outFds[1]);
  state->errPipe.reset(errFds[0]);
  Fd errWrite(errFds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, options.mergeOutput ? outWrite.get() : errWrite.get(),
                                   STDERR_FILENO);
  if (!options.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, empty;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> environment = buildEnvironment(options);
  std::vector<char*> envp, args;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  if (argvCopy.empty()) argvCopy.push_back(program);
  for (std::string& arg : argvCopy) args.push_back(arg.data());
  args.push_back(nullptr);

  pid_t pid = -1;
  int error = posix_spawnp(&pid, program.c_str(), &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    state->outPipe.reset();
    state->errPipe.reset();
    state->result.err = std::string("cannot start ") + program + ": " + strerror(error);
    state->done = true;
    return std::make_unique<RunningProgram>(std::move(state));
  }
  state->pid = pid;
  state->result.started = true;
  outWrite.reset();
  errWrite.reset();
  RunningProgram::State* raw = state.get();
  state->reader = std::thread([raw] { raw->readUntilEnd(); });
  return std::make_unique<RunningProgram>(std::move(state));
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const RunOptions& options) {
  return startProgram(program, argv, options)->finish();
}

std::string RunResult::describe() const {
  std::ostringstream text;
  if (!started)
    text << "not started";
  else if (timedOut)
    text << "timed out";
  else if (exited)
    text << "exit status " << exitCode;
  else if (signaled)
    text << "killed by signal " << termSignal;
  text << "\n--- stdout ---\n" << out << "--- stderr ---\n" << err << "--------------";
  return text.str();
}

}  // namespace testsupport

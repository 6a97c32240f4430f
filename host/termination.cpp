#include "host/termination.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "host/files.h"
#include "host/process.h"

namespace host {
namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
// How often a wait looks at its child when no signal wakes it.
constexpr int kWaitPollMs = 100;

// Shared with the handler, which may only use lock-free atomics and write().
std::atomic<int> received{0};     // the first signal under the guard
std::atomic<int> unforwarded{0};  // a signal that no child has been sent yet
std::atomic<int> wakeFd{-1};      // write end of the guard's pipe; -1 without a guard
std::atomic<int> wakeReadFd{-1};  // its read end, for the waiting thread
std::atomic<int> loopWakeFd{-1};  // the listening application loop's, or -1
std::atomic<int> listened{0};     // a bit for each signal the loop has not taken yet
static_assert(std::atomic<int>::is_always_lock_free);

// Main thread only.
int guardDepth = 0;
struct sigaction previousActions[std::size(kTerminationSignals)];

void onTerminationSignal(int signal, siginfo_t* info, void* /*context*/) {
  int savedErrno = errno;
  int none = 0;
  received.compare_exchange_strong(none, signal);
  // The terminal sends to its whole foreground group, the waited-for processes included.
  bool fromTerminal = info != nullptr && info->si_code == SI_KERNEL;
  if (!fromTerminal) unforwarded.store(signal);
  if (loopWakeFd.load() >= 0) listened.fetch_or(1 << signal);
  for (int fd : {wakeFd.load(), loopWakeFd.load()}) {
    if (fd >= 0) (void)!write(fd, "", 1);  // a full pipe already wakes its reader
  }
  errno = savedErrno;
}

// The processes of the process group `group`, by their parents, read from /proc/<pid>/stat.
std::multimap<pid_t, pid_t> childrenInGroup(pid_t group) {
  std::multimap<pid_t, pid_t> children;
  for (const std::string& name : listDirectory("/proc")) {
    char* end = nullptr;
    long pid = strtol(name.c_str(), &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    // A process that ends while it is read is passed over.
    pid_t parent = 0, itsGroup = 0;
    if (readParentage(static_cast<pid_t>(pid), &parent, &itsGroup) && itsGroup == group)
      children.emplace(parent, static_cast<pid_t>(pid));
  }
  return children;
}

// Sends `signal` to `child` and to the processes below it that share the installer's process
// group (where a terminal's Ctrl-C reaches them), children before their parents.
void passOn(pid_t child, int signal) {
  std::multimap<pid_t, pid_t> children = childrenInGroup(getpgrp());
  std::vector<pid_t> tree = {child};  // breadth first: parents before children
  for (size_t i = 0; i < tree.size(); ++i) {
    auto [first, last] = children.equal_range(tree[i]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) kill(*it, signal);
}

}  // namespace

TerminationGuard::TerminationGuard() : outermost_(guardDepth++ == 0) {
  if (!outermost_) return;
  received = 0;
  unforwarded = 0;
  if (int ends[2]; pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeReadFd = ends[0];
    wakeFd = ends[1];
  }
  struct sigaction action {};
  action.sa_sigaction = onTerminationSignal;
  // Restarted calls: an interrupted write of a message to the console is not lost.
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(kTerminationSignals); ++i) {
    sigaction(kTerminationSignals[i], nullptr, &previousActions[i]);
    if (previousActions[i].sa_handler != SIG_IGN)
      sigaction(kTerminationSignals[i], &action, nullptr);
  }
}

TerminationGuard::~TerminationGuard() {
  if (--guardDepth > 0) return;
  for (size_t i = 0; i < std::size(kTerminationSignals); ++i) {
    sigaction(kTerminationSignals[i], &previousActions[i], nullptr);
  }
  for (std::atomic<int>* end : {&wakeFd, &wakeReadFd}) {
    if (int fd = end->exchange(-1); fd >= 0) close(fd);
  }
  // Nothing recorded now may stop a later call or reach a later child.
  received = 0;
  unforwarded = 0;
}

int terminationSignal() { return received.load(); }

void listenForTermination(int wakeFd) {
  if (wakeFd >= 0) listened = 0;
  loopWakeFd = wakeFd;
}

int takeListenedSignals() { return listened.exchange(0); }

int waitForChild(pid_t child) {
  if (child <= 0) return -1;
  struct sigaction ignore {
  }, previousQuit;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGQUIT, &ignore, &previousQuit);
  // Woken by the guard's pipe or by the child's end (a process descriptor becomes readable
  // then; poll passes over a descriptor of -1); the time-out only bounds a missed wake-up.
  int wakeRead = wakeReadFd.load();
  FileDescriptor childFd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  for (;;) {
    if (int signal = unforwarded.exchange(0)) passOn(child, signal);
    // Not collected yet once it ended, so that its id cannot be reused while a signal may
    // still be passed on; a child that cannot be waited for fails to be collected below.
    siginfo_t info{};
    int waited = waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT | WNOHANG);
    if (waited != 0 && errno == EINTR) continue;
    if (waited != 0 || info.si_pid == child) break;
    pollfd wake[2] = {{wakeRead, POLLIN, 0}, {childFd.get(), POLLIN, 0}};
    if (poll(wake, 2, kWaitPollMs) > 0 && (wake[0].revents & POLLIN)) {
      char bytes[64];
      while (read(wakeRead, bytes, sizeof bytes) > 0) {
      }
    }
  }
  sigaction(SIGQUIT, &previousQuit, nullptr);
  int status = 0;
  while (waitpid(child, &status, 0) != child)
    if (errno != EINTR) return -1;
  return status;
}

}  // namespace host

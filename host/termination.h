// Termination signals during a run of the installer: SIGINT (Ctrl-C), SIGTERM and SIGHUP. One
// handler owns them, while a `TerminationGuard` lives: the driver holds one for its whole run, the
// application loop one that nests. Such a signal then does not end the process on the spot, which
// would leave the run's temporary directory behind: it is recorded, the run starts nothing new and
// returns at its next step, and a child that the run waits for (the agent, unzip) receives it too,
// so that it ends first. It also wakes a listening application loop, which closes the download
// window (host/application.h).
//
// Thread rules: guards are made and destroyed on the main thread; everything else may be used on
// any thread, one `waitForChild` at a time. The handler touches only lock-free atomics and pipes,
// so it may run on whatever thread the kernel picks.
#pragma once

#include <sys/types.h>

namespace host {

class TerminationGuard {
 public:
  // Catches the three signals, except one that the installer was started with ignored (under
  // nohup, say), and forgets whatever an earlier guard recorded. A guard made while another
  // lives does nothing.
  TerminationGuard();
  // Puts back what the signals did before.
  ~TerminationGuard();
  TerminationGuard(const TerminationGuard&) = delete;
  TerminationGuard& operator=(const TerminationGuard&) = delete;

  // False for a guard made while another lives.
  bool outermost() const { return outermost_; }

 private:
  bool outermost_ = false;
};

// The first termination signal received under the living guard, or 0.
int terminationSignal();

// Waits for `child` to end and returns its status in the form of waitpid, or -1 when it cannot
// be waited for; SIGQUIT is ignored meanwhile, as system() does. Under the guard, a termination
// signal that reaches the installer while it waits (or reached no child yet) is passed on as a
// terminal passes Ctrl-C on: to the child and to every process below it in the installer's
// process group, the deepest first; one that the terminal sent is not sent again.
int waitForChild(pid_t child);

// For the application loop: each termination signal under the guard also writes a byte to
// `wakeFd` and is kept for `takeListenedSignals`; -1 stops listening.
void listenForTermination(int wakeFd);
// The signals received since listening began or since the last call, one bit per signal.
int takeListenedSignals();

}  // namespace host

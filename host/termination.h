// Termination signals during a run: SIGINT (Ctrl-C), SIGTERM and SIGHUP, owned by one handler
// while a `TerminationGuard` lives (the driver's for the whole run, the application loop's nested).
// Such a signal does not end the process on the spot, which would leave the run's temporary
// directory behind: it is recorded, the run returns at its next step, a child it waits for (the
// agent, unzip) receives it too, so that it ends first, and a listening application loop closes
// the download window (host/application.h).
//
// Guards are made and destroyed on the main thread; the rest may be used on any thread, one
// `waitForChild` at a time. The handler touches only lock-free atomics and pipes.
#pragma once

#include <sys/types.h>

namespace host {

class TerminationGuard {
 public:
  // Catches the three signals, except one ignored at the start (under nohup, say), and forgets
  // what an earlier guard recorded. A guard made while another lives does nothing.
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

// Waits for `child` and returns its waitpid status, or -1; SIGQUIT is ignored meanwhile, as
// system() does. Under the guard, a termination signal that no child has had yet is passed on as
// a terminal passes Ctrl-C on: to the child and every process below it in the installer's process
// group, the deepest first; one that the terminal sent is not sent again.
int waitForChild(pid_t child);

// For the application loop: each termination signal under the guard also writes a byte to
// `wakeFd` and is kept for `takeListenedSignals`; -1 stops listening.
void listenForTermination(int wakeFd);
// The signals received since listening began or since the last call, one bit per signal.
int takeListenedSignals();

}  // namespace host

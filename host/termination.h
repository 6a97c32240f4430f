// Termination signals during a run of the installer: SIGINT (Ctrl-C), SIGTERM and SIGHUP.
//
// One handler owns them. The bootstrap driver holds one `TerminationGuard` for its whole run
// (the application loop holds one too, which nests). While a guard lives, such a signal does
// not end the process on the spot, which would leave the run's temporary directory behind: it
// is recorded, the run starts nothing new and the driver returns at its next step, and a child
// that the run is waiting for (the install agent, unzip) receives it too, so that the child
// ends first and the driver cleans up after it. While the application loop listens, the
// signal also wakes the loop, which closes the download window (host/application.h).
//
// Thread rules: guards are made and destroyed on the main thread; everything else may be used
// on any thread, one `waitForChild` at a time. The handler touches only lock-free atomics and
// pipes, so it may run on whatever thread the kernel picks.
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
};

// The first termination signal received under the living guard, or 0.
int terminationSignal();

// Waits for `child` to end and returns its status in the form of waitpid, or -1 when it cannot
// be waited for. SIGQUIT is ignored by the installer meanwhile, as system() does (the child
// keeps its own).
//
// Under the guard, a termination signal that reaches the installer while it waits (or that
// came earlier and reached no child yet) is passed on as a terminal passes Ctrl-C on: to the
// child and to every process below it in the installer's process group, the deepest first.
// A signal that the terminal sent already reached that whole group and is not sent again.
int waitForChild(pid_t child);

// For the application loop: from now on each termination signal under the guard is also
// added to `takeListenedSignals` and writes a byte to `wakeFd`; -1 stops listening.
void listenForTermination(int wakeFd);
// The signals received since listening began or since the last call, one bit per signal.
int takeListenedSignals();

}  // namespace host

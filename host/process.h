// Starting a program as a process of its own. The child inherits the environment, working directory
// and standard streams. The starter does not wait; it keeps the process id so that another part of
// the installer can wait later.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "host/termination.h"

namespace host {

// The parent and the process group of the process `pid`, as /proc/<pid>/stat gives them; false
// when it cannot be read (the process has ended, say).
bool readParentage(pid_t pid, pid_t* parent, pid_t* group);

class Process {
 public:
  // Starts `program` with `arguments` (argv[1..]; argv[0] is `program`). Nothing is split or
  // quoted. The result's `started()` is false when the program could not be started, and
  // `error()` then says why (an errno value).
  static Process start(const std::string& program, const std::vector<std::string>& arguments);

  Process() = default;
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int error() const { return error_; }

  // Keeps `resource` until the process has been waited for: what it must have while it runs.
  void keepWhileRunning(std::shared_ptr<void> resource) { kept_ = std::move(resource); }

  // Waits for the process to end and returns its status in the form of waitpid, or -1 when
  // it was not started or cannot be waited for. A termination signal meanwhile is passed on
  // to it (`waitForChild`, host/termination.h).
  int wait() {
    int status = waitForChild(pid_);
    kept_.reset();
    return status;
  }

 private:
  Process(pid_t pid, int error) : pid_(pid), error_(error) {}
  pid_t pid_ = -1;
  int error_ = 0;
  std::shared_ptr<void> kept_;
};

}  // namespace host

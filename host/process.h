// Starting a program as a process of its own, with the installer's environment, working directory
// and standard streams. The starter does not wait; another part of the installer can, later.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "host/termination.h"

namespace host {

// The parent and process group of `pid` from /proc/<pid>/stat; false when it cannot be read.
bool readParentage(pid_t pid, pid_t* parent, pid_t* group);

class Process {
 public:
  // Starts `program` with `arguments` (argv[1..]), nothing split or quoted; when it could not,
  // `started()` is false and `error()` the errno value.
  static Process start(const std::string& program, const std::vector<std::string>& arguments);

  Process() = default;
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int error() const { return error_; }

  // Keeps `resource` until the process has been waited for: what it must have while it runs.
  void keepWhileRunning(std::shared_ptr<void> resource) { kept_ = std::move(resource); }

  // Waits for the process and returns its waitpid status, or -1; a termination signal meanwhile
  // is passed on to it (`waitForChild`, host/termination.h).
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

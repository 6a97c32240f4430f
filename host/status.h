// What an operation that can fail gives back: success, or a `Code` of the caller's own, the
// `subject` it failed on (a path, a URL, a reason from elsewhere) and the errno value behind it,
// if any. Messages are made from a status in one place, by the layer that shows them.
#pragma once

#include <string>
#include <utility>

namespace host {

template <typename Code>
class Status {
 public:
  Status() = default;  // success
  Status(Code code, std::string subject = {}, int systemError = 0)
      : failed_(true), code_(code), subject_(std::move(subject)), systemError_(systemError) {}

  bool ok() const { return !failed_; }
  Code code() const { return code_; }
  const std::string& subject() const { return subject_; }
  int systemError() const { return systemError_; }

 private:
  bool failed_ = false;
  Code code_{};
  std::string subject_;
  int systemError_ = 0;
};

}  // namespace host

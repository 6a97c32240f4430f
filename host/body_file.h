// A download's body on disk from one attempt to the next: the URL session's temporary file, which
// a new answer starts over and one that continues it appends to. On the worker thread alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "host/files.h"
#include "host/status.h"

namespace host {

// What can end a download on this side of the connection.
enum class BodyFailure {
  kNotCreated,      // subject: the directory
  kNotWritten,      // in the directory `subject`, with the errno value
  kAnnouncedLarge,  // subject: the length the answer announced
  kGrewLarge,       // more bytes came than a body may hold
  kEncoded,         // subject: the Content-Encoding the answer's body came in
};
using BodyStatus = Status<BodyFailure>;

class BodyFile {
 public:
  // The file holds at most `largestBody` bytes.
  explicit BodyFile(int64_t largestBody) : largestBody_(largestBody) {}

  BodyStatus create(const std::filesystem::path& directory);
  // Empties the file for the body of a new answer.
  BodyStatus startOver();
  BodyStatus append(std::string_view bytes);
  // What failed, in words: the one place they are made.
  std::string describe(const BodyStatus& status) const;

  int64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  void close() { file_.reset(); }
  void remove();

  // Told each time the body begins, with no bytes, then of the bytes at each offset.
  std::function<void(int64_t offset, std::string_view bytes)> observer;

 private:
  BodyStatus notWritten() const;  // after a failed write, with its errno

  const int64_t largestBody_;
  FileDescriptor file_;
  std::string path_;
  int64_t size_ = 0;
};

}  // namespace host

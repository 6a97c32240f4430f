#include "host/body_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace host {

BodyStatus BodyFile::create(const std::filesystem::path& directory) {
  std::string path = directory / "download.XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC | O_APPEND);  // a started agent must not inherit it
  if (fd < 0) return {BodyFailure::kNotCreated, directory.string(), errno};
  file_.reset(fd);
  path_ = std::move(path);
  return {};
}

BodyStatus BodyFile::startOver() {
  if (size_ > 0 && ftruncate(file_.get(), 0) != 0) return {BodyFailure::kNotWritten, {}, errno};
  size_ = 0;
  return {};
}

BodyStatus BodyFile::append(std::string_view bytes) {
  if (size_ + static_cast<int64_t>(bytes.size()) > largestBody_) return {BodyFailure::kGrewLarge};
  if (!writeAll(file_.get(), bytes)) return {BodyFailure::kNotWritten, {}, errno};
  size_ += static_cast<int64_t>(bytes.size());
  return {};
}

void BodyFile::remove() {
  file_.reset();
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

}  // namespace host

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
  if (size_ > 0 && ftruncate(file_.get(), 0) != 0) return notWritten();
  size_ = 0;
  if (observer) observer(0, {});  // also when the new body is empty
  return {};
}

BodyStatus BodyFile::append(std::string_view bytes) {
  if (size_ + static_cast<int64_t>(bytes.size()) > largestBody_) return {BodyFailure::kGrewLarge};
  if (!writeAll(file_.get(), bytes)) return notWritten();
  if (observer) observer(size_, bytes);
  size_ += static_cast<int64_t>(bytes.size());
  return {};
}

BodyStatus BodyFile::notWritten() const {
  int error = errno;
  // Where, for a full disk: the run's temporary directory may lie on another than the cache.
  return {BodyFailure::kNotWritten, std::filesystem::path(path_).parent_path().string(), error};
}

void BodyFile::remove() {
  file_.reset();
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

std::string BodyFile::describe(const BodyStatus& status) const {
  const std::string largest = std::to_string(largestBody_);
  switch (status.code()) {
    case BodyFailure::kNotCreated:
      return systemError("Could not create a temporary file in " + status.subject(),
                         status.systemError());
    case BodyFailure::kNotWritten:
      return systemError("Could not write the downloaded data in " + status.subject(),
                         status.systemError());
    case BodyFailure::kAnnouncedLarge:
      return "the download is " + status.subject() + " bytes, more than the " + largest +
             " allowed";
    case BodyFailure::kGrewLarge:
      return "the download grew past the " + largest + " bytes allowed";
    case BodyFailure::kEncoded:
      return "the server sent the download encoded (" + status.subject() +
             "), not as the file itself";
  }
  return "";
}

}  // namespace host

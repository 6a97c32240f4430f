#include "host/files.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace host {

void FileDescriptor::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string systemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

bool pathExists(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> listDirectory(const std::filesystem::path& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
       it.increment(error))
    names.push_back(it->path().filename());
  return names;
}

bool isTerminal(int fd) {
  const char* term = getenv("TERM");
  return isatty(fd) == 1 && (term == nullptr || strcmp(term, "dumb") != 0);
}

std::string temporaryDirectory() {
  const char* value = getenv("TMPDIR");
  return value != nullptr && *value != '\0' ? value : "/tmp";
}

}  // namespace host

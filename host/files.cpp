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

ExposedLevel exposedLevel(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::path given = std::filesystem::absolute(dir, error).lexically_normal();
  if (!given.has_filename() && given.has_relative_path()) given = given.parent_path();  // "a/"
  std::filesystem::path real = std::filesystem::weakly_canonical(given, error);
  if (error) return {dir, Exposure::kUnexaminable};
  for (const std::filesystem::path& start : {given, real}) {
    for (std::filesystem::path level = start;; level = level.parent_path()) {
      struct stat info;
      if (stat(level.c_str(), &info) != 0) {
        if (errno != ENOENT) return {level, Exposure::kUnexaminable};
      } else if (info.st_uid != geteuid() && info.st_uid != 0) {
        return {level, Exposure::kOwnedByAnother};
      } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return {level, Exposure::kWritableByOthers};
      }
      if (!level.has_relative_path()) break;
    }
  }
  return {};
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

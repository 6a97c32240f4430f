#include "platform/temp_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "host/files.h"

namespace fs = std::filesystem;

TempDir::TempDir(std::string /*name*/) {
  std::string base = host::temporaryDirectory();
  // A relative TMPDIR is taken from the working directory: the directory's path is absolute,
  // so no program that receives a path in it can take it for an option ("-tmp", say).
  if (base.front() != '/') {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    base = ec ? "/tmp" : (cwd / base).string();
  }
  // One separator between the base and the template, whether or not the base ends in one.
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base.back() != '/') base += '/';
  std::string pattern = base + "vlXXXXXX";

  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) dir = buffer.data();
}

TempDir::~TempDir() {
  if (!dir.empty()) removeTree(dir);
}

namespace {

// Gives the owner full access to every directory below `path`, so that their entries can be
// removed. Links are not followed.
void openUpDirectories(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    openUpDirectories(it->path());
}

}  // namespace

bool removeTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec && !fs::exists(fs::symlink_status(path, ec))) return true;
  // An unpacked archive may hold directories without write or search permission.
  openUpDirectories(path);
  fs::remove_all(path, ec);
  return !ec && !fs::exists(fs::symlink_status(path, ec));
}

namespace {

// Makes sure that `level` is a directory, creating it with `mode` when missing.
bool ensureDirectory(const char* level, mode_t mode) {
  struct stat info;
  if (stat(level, &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (mkdir(level, mode) == 0) return true;
  int error = errno;
  // Another process may have made the level since the stat.
  if (error == EEXIST) {
    if (stat(level, &info) == 0 && S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  errno = error;
  return false;
}

}  // namespace

int mkpath(std::string path, uint16_t mode) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  std::string copy = path;
  for (size_t i = 0; i < copy.size(); ++i) {
    if (copy[i] != '/') continue;
    if (i == 0 || copy[i - 1] == '/') continue;  // no empty levels
    copy[i] = '\0';
    bool made = ensureDirectory(copy.c_str(), mode);
    copy[i] = '/';
    if (!made) return -1;
  }
  return ensureDirectory(path.c_str(), mode) ? 0 : -1;
}

#include "platform/temp_dir.h"

#include <errno.h>
#include <glib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <system_error>

#include "host/files.h"

namespace fs = std::filesystem;

TempDir::TempDir(std::string /*name*/) {
  // A relative TMPDIR is taken from the working directory: the directory's path is absolute,
  // so no program that receives a path in it can take it for an option ("-tmp", say).
  std::error_code ec;
  fs::path base = fs::absolute(host::temporaryDirectory(), ec);
  for (const fs::path& candidate : {ec ? fs::path("/tmp") : base, fs::path("/tmp")}) {
    if (!tried_.empty() && tried_.back() == candidate.string()) continue;
    tried_.push_back(candidate.string());
    std::string pattern = (candidate / "vlXXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      dir = pattern;
      return;
    }
  }
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
  // "link/" would name what a symbolic link points to; the link itself is what goes.
  if (path.size() > 1 && path.ends_with('/')) return removeTree(path.substr(0, path.size() - 1));
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec && !fs::exists(fs::symlink_status(path, ec))) return true;
  // An unpacked archive may hold directories without write or search permission.
  openUpDirectories(path);
  fs::remove_all(path, ec);
  return !ec && !fs::exists(fs::symlink_status(path, ec));
}

int mkpath(std::string path, uint16_t mode) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  // A level that another process makes meanwhile counts as made.
  return g_mkdir_with_parents(path.c_str(), mode);
}

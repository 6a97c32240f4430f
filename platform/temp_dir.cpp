#include "platform/temp_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host/files.h"

namespace fs = std::filesystem;

namespace {

// Where tools/lib/run-header.sh unpacked the one-file installer.
constexpr char kHeaderTemporaryDirectory[] = "VL_INTERNAL_TMPDIR";

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

TempDir::TempDir(std::string /*name*/) {
  // A relative TMPDIR is taken from the working directory: the directory's path is absolute,
  // so no program that receives a path in it can take it for an option ("-tmp", say).
  std::error_code ec;
  fs::path base = fs::absolute(host::temporaryDirectory(), ec);
  std::vector<fs::path> candidates = {ec ? fs::path("/tmp") : base, "/tmp", "/var/tmp"};
  // A one-file installer's header found room where TMPDIR may have none (a full /tmp); the
  // agent gets the user's TMPDIR, not the header's.
  if (const char* header = getenv(kHeaderTemporaryDirectory); header != nullptr) {
    if (*header == '/') candidates.insert(candidates.begin(), header);
    unsetenv(kHeaderTemporaryDirectory);
  }
  const char* home = getenv("HOME");
  if (home != nullptr && *home == '/') candidates.push_back(fs::path(home) / ".cache");
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') candidates.push_back(runtime);
  candidates.push_back("/dev/shm");
  // An agent unpacked here may run programs it carries: where none may run (a /tmp mounted
  // noexec) comes last.
  std::stable_partition(candidates.begin(), candidates.end(), [](const fs::path& candidate) {
    struct statvfs info;
    return statvfs(candidate.c_str(), &info) != 0 || (info.f_flag & ST_NOEXEC) == 0;
  });
  for (const fs::path& candidate : candidates) {
    if (std::find(tried_.begin(), tried_.end(), candidate.string()) != tried_.end()) continue;
    tried_.push_back(candidate.string());
    // Another user who could rename the directory could put programs in the run's place.
    if (!host::exposedLevel(candidate).directory.empty()) continue;
    std::string pattern = (candidate / "vlXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) continue;
    chmod(pattern.c_str(), 0700);  // whatever the umask
    dir = pattern;
    return;
  }
}

TempDir::~TempDir() {
  if (!dir.empty()) removeTree(dir);
}

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
  fs::path level;
  for (const fs::path& component : fs::path(path)) {
    level /= component;
    // A level that another process makes meanwhile counts as made; one made here gets `mode`
    // whatever the umask.
    if (mkdir(level.c_str(), mode) == 0) {
      chmod(level.c_str(), mode);
    } else if (errno != EEXIST) {
      return -1;
    } else if (!host::isDirectory(level)) {
      errno = ENOTDIR;
      return -1;
    }
  }
  return 0;
}

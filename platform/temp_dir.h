// The run's scoped temporary directory, which the driver holds for the whole run, and making or
// removing a directory tree (the cache's). Nothing here reports a message. Used on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TempDir {
 public:
  // Creates a private directory "vl" + six random characters (`name` is not used) in the user's
  // temporary directory (TMPDIR, else "/tmp"), or first in VL_INTERNAL_TMPDIR, where a one-file
  // installer's header found room (then dropped from the environment); where that fails, where
  // programs may not run or another user could rename it, in the next of "/tmp", "/var/tmp",
  // "~/.cache", XDG_RUNTIME_DIR and "/dev/shm" that does.
  explicit TempDir(std::string name);
  // Removes the directory with everything in it.
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's absolute path, or empty when none could be made.
  std::string getDir() const { return dir; }
  // The directories it tried to make one in, in order.
  const std::vector<std::string>& tried() const { return tried_; }

 private:
  std::string dir;
  std::vector<std::string> tried_;
};

// Creates every missing directory of `path` with `mode`, whatever the umask: 0 when the whole
// path is a directory afterwards, else -1 with errno (ENOTDIR for a level that is no directory).
int mkpath(std::string path, uint16_t mode);

// Removes `path` and everything below it, also entries in directories that their owner made
// unwritable or unsearchable. Symbolic links are removed, never followed, `path` itself too
// when it ends in "/". True when nothing is left.
bool removeTree(const std::string& path);

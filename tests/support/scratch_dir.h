// A scratch directory for one test, and small file helpers for tests.
//
// `ScratchDir` makes a fresh private directory on construction and removes it, with all its
// contents (also read-only subdirectories), on destruction. It is made under the TMPDIR of
// the moment (else /tmp), so a test may point TMPDIR into a scratch directory afterwards.
// `ScratchTest` is a GoogleTest fixture that holds one as `scratch`.
//
// Example:
//   TEST_F(ScratchTest, WritesAFile) {
//     std::string path = scratch.writeFile("dir/a.txt", "hello");
//     EXPECT_EQ(readFile(path), "hello");
//   }
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The directory's absolute path, without a final "/".
  const std::string& path() const { return path_; }

  // `path()` + "/" + `relative`; nothing is created.
  std::string file(const std::string& relative) const;

  // Writes `content` to `relative` (missing parent directories are made), sets `mode`, and
  // returns the file's absolute path.
  std::string writeFile(const std::string& relative, const std::string& content,
                        mode_t mode = 0644) const;

  // Makes the directory `relative` with its parents and returns its absolute path.
  std::string makeDir(const std::string& relative) const;

 private:
  std::string path_;
};

class ScratchTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
};

// Writes `content` to `path` (parents made) with `mode`; fails the test on error.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);

// The whole content of `path`; empty when it cannot be read.
std::string readFile(const std::string& path);

// True when `path` exists (links not followed).
bool pathExists(const std::string& path);

// Waits until `path` exists, at most `timeout`; true when it does.
bool waitForFile(const std::string& path, std::chrono::milliseconds timeout);

// Binds a UNIX socket at `path`: a file that exists but cannot be opened, whoever the user
// is. Returns its descriptor, for the test to close when done, or -1.
int makeSocketFile(const std::string& path);

// The names in directory `path`, sorted; empty when it cannot be listed.
std::vector<std::string> listDir(const std::string& path);

// The lines of `text`, split at line feeds; a final line feed ends the last line.
std::vector<std::string> splitLines(const std::string& text);

// Sets (or, with `unset`, removes) an environment variable of the test process for the
// object's lifetime, then restores the previous state.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  explicit ScopedEnv(std::string name);  // unsets
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool hadValue_ = false;
  std::string oldValue_;
};

// True when the test runs as root, which ignores file permissions.
bool runningAsRoot();

}  // namespace testsupport

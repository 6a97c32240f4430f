// Small file-system helpers that every layer shares: stateless, silent and safe on any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Owner of a file descriptor: closes it when replaced or destroyed.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of `bytes`, resuming after interruptions and short writes. False on an error.
bool writeAll(int fd, std::string_view bytes);

// `what`, ": " and the text of the errno value `error`: the one place an errno becomes words.
std::string systemError(const std::string& what, int error);

// Whether `path` names anything, a link by its target; one that cannot be tested is absent.
bool pathExists(const std::filesystem::path& path);
bool isDirectory(const std::filesystem::path& path);

// How a directory on the way to a path is open to users other than the effective one and root.
enum class Exposure { kNone, kUnexaminable, kOwnedByAnother, kWritableByOthers };
struct ExposedLevel {
  std::filesystem::path directory;  // empty when none is exposed
  Exposure exposure = Exposure::kNone;
};
// The first directory from `dir` up to "/", along its path as given and its real path, that
// another user could rename, replace or fill: owned by another than the effective user and root,
// or writable by group or others without the sticky bit. Levels still to be made are passed over.
ExposedLevel exposedLevel(const std::filesystem::path& dir);

// The names in the directory `path` as its listing gives them, without "." and "..", or none.
std::vector<std::string> listDirectory(const std::filesystem::path& path);

// Whether `fd` is a terminal that takes control sequences (to erase a line): not TERM=dumb.
bool isTerminal(int fd);

// The user's temporary directory: TMPDIR when set and not empty, otherwise "/tmp".
std::string temporaryDirectory();

}  // namespace host

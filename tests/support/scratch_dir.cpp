#include "support/scratch_dir.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/temp_dir.h"

namespace fs = std::filesystem;

namespace testsupport {

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  pattern += "/installer-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a scratch directory from " << pattern;
    return;
  }
  std::error_code ec;
  path_ = fs::canonical(buffer.data(), ec).string();
  if (ec) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  if (!path_.empty() && !removeTree(path_)) ADD_FAILURE() << "scratch directory left: " << path_;
}

std::string ScratchDir::file(const std::string& relative) const { return path_ + "/" + relative; }

std::string ScratchDir::writeFile(const std::string& relative, const std::string& content,
                                  mode_t mode) const {
  std::string path = file(relative);
  testsupport::writeFile(path, content, mode);
  return path;
}

std::string ScratchDir::makeDir(const std::string& relative) const {
  std::string path = file(relative);
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) ADD_FAILURE() << "cannot make directory " << path << ": " << ec.message();
  return path;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  std::error_code ec;
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
    return;
  }
  if (chmod(path.c_str(), mode) != 0) ADD_FAILURE() << "cannot chmod " << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool pathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool waitForFile(const std::string& path, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pathExists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

int makeSocketFile(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str())) {
    hadValue_ = true;
    oldValue_ = old;
  }
  setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::ScopedEnv(std::string name) : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str())) {
    hadValue_ = true;
    oldValue_ = old;
  }
  unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (hadValue_)
    setenv(name_.c_str(), oldValue_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

bool runningAsRoot() { return geteuid() == 0; }

}  // namespace testsupport

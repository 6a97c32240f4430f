// The system-log line on standard error.
#include "host/system_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"
#include "support/system_log.h"

namespace {

// Captures what the process writes to standard error while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(file, STDERR_FILENO);
    close(file);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return testsupport::readFile(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

class SystemLog : public testsupport::ScratchTest {};

// The message of `line` when it is a system-log line of this process.
std::optional<std::string> ownMessage(const std::string& line) {
  std::optional<testsupport::SystemLogLine> read = testsupport::readSystemLogLine(line);
  if (!read || read->program != program_invocation_short_name || read->pid != getpid())
    return std::nullopt;
  return read->message;
}

TEST_F(SystemLog, WritesOneStampedLineToStandardError) {
  StderrCapture capture(scratch.file("stderr.txt"));
  host::systemLog("Download failed with http error code- %ld", 404L);
  host::systemLog("Download failed! Error code- %3.0f", 404.0);
  host::systemLog("already ends in a newline\n");
  std::vector<std::string> lines = testsupport::splitLines(capture.text());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(ownMessage(lines[0]), "Download failed with http error code- 404") << lines[0];
  EXPECT_EQ(ownMessage(lines[1]), "Download failed! Error code- 404") << lines[1];
  EXPECT_EQ(ownMessage(lines[2]), "already ends in a newline") << lines[2];
}

TEST_F(SystemLog, LinesFromManyThreadsStayWhole) {
  StderrCapture capture(scratch.file("stderr.txt"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i)
        host::systemLog("thread %d line %d %s", t, i, std::string(200, 'x').c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> lines = testsupport::splitLines(capture.text());
  ASSERT_EQ(lines.size(), 200u);
  std::regex whole(R"(thread \d line \d+ x{200})");
  for (const auto& line : lines) {
    std::optional<std::string> message = ownMessage(line);
    EXPECT_TRUE(message && std::regex_match(*message, whole)) << line;
  }
}

}  // namespace

// The installer's system-log lines, as a test reads them from standard error.
//
// Each system-log line goes to standard error as "<date> <time> <program>[<pid>] <message>",
// e.g. "2026-12-07 10:15:02.123 setup[4242] Download failed! Error code- 404".
// `readSystemLogLine` takes one line apart; `splitConsole` sorts a run's standard error into
// the messages of its system-log lines and the other lines (the terminal window's failure
// lines, the console messages); `logged` says whether a run wrote the line of a message.
//
// Example:
//   RunResult result = runInstaller(bundle, {"Setup"});
//   EXPECT_TRUE(logged(result.err, "Download failed! Error code- 404")) << result.err;
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct SystemLogLine {
  std::string program;
  long pid = 0;
  std::string message;
};
// The parts of `line` when it is a system-log line, else nothing.
std::optional<SystemLogLine> readSystemLogLine(const std::string& line);

struct ConsoleLines {
  std::vector<std::string> log;    // the messages of the system-log lines
  std::vector<std::string> other;  // every other line
};
ConsoleLines splitConsole(const std::string& err);

// Whether `err` holds the system-log line of `message`.
bool logged(const std::string& err, const std::string& message);
// Whether one of the system-log lines of `err` holds `text` somewhere in its message.
bool loggedContaining(const std::string& err, const std::string& text);

}  // namespace testsupport

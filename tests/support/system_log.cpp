#include "support/system_log.h"

#include <algorithm>
#include <regex>

#include "support/scratch_dir.h"

namespace testsupport {

std::optional<SystemLogLine> readSystemLogLine(const std::string& line) {
  static const std::regex logLine(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([^ ]+)\[(\d+)\] (.*)$)");
  std::smatch match;
  if (!std::regex_match(line, match, logLine)) return std::nullopt;
  return SystemLogLine{match[1], std::stol(match[2]), match[3]};
}

ConsoleLines splitConsole(const std::string& err) {
  ConsoleLines lines;
  for (const std::string& line : splitLines(err)) {
    if (std::optional<SystemLogLine> logLine = readSystemLogLine(line))
      lines.log.push_back(logLine->message);
    else
      lines.other.push_back(line);
  }
  return lines;
}

bool logged(const std::string& err, const std::string& message) {
  std::vector<std::string> log = splitConsole(err).log;
  return std::find(log.begin(), log.end(), message) != log.end();
}

bool loggedContaining(const std::string& err, const std::string& text) {
  std::vector<std::string> log = splitConsole(err).log;
  return std::any_of(log.begin(), log.end(), [&text](const std::string& message) {
    return message.find(text) != std::string::npos;
  });
}

}  // namespace testsupport

// Collecting the messages that an operation reports through its `MessageCallback`.
//
// The callback is a plain function, so the log is process-wide: make a `MessageLog` at the
// start of a test (it clears the log) and pass `MessageLog::callback` to the operation. Use
// on one thread at a time.
//
// Example:
//   MessageLog log;
//   readEndpointUrlFile(path, MessageLog::callback);
//   EXPECT_EQ(log.errors(), std::vector<std::string>{"Failed to open install agent URL file"});
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ReportedMessage {
  std::string text;
  bool isError;
  bool operator==(const ReportedMessage& other) const {
    return text == other.text && isError == other.isError;
  }
};

class MessageLog {
 public:
  MessageLog();  // clears the log
  static void callback(const std::string& message, bool isError);
  const std::vector<ReportedMessage>& all() const;
  std::vector<std::string> errors() const;
  std::vector<std::string> information() const;
};

}  // namespace testsupport

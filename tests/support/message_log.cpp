#include "support/message_log.h"

namespace testsupport {

namespace {

std::vector<ReportedMessage>& messages() {
  static std::vector<ReportedMessage> log;
  return log;
}

}  // namespace

MessageLog::MessageLog() { messages().clear(); }

void MessageLog::callback(const std::string& message, bool isError) {
  messages().push_back({message, isError});
}

const std::vector<ReportedMessage>& MessageLog::all() const { return messages(); }

std::vector<std::string> MessageLog::errors() const {
  std::vector<std::string> result;
  for (const ReportedMessage& m : messages())
    if (m.isError) result.push_back(m.text);
  return result;
}

std::vector<std::string> MessageLog::information() const {
  std::vector<std::string> result;
  for (const ReportedMessage& m : messages())
    if (!m.isError) result.push_back(m.text);
  return result;
}

}  // namespace testsupport

#include "provisioning/message.h"

#include <cstdio>

void report_message_main(const std::string& message, bool isError) {
  report_message_to_console(message, isError);
}

void report_message_to_console(const std::string& message, bool isError) {
  FILE* stream = isError ? stderr : stdout;
  // fwrite, not fputs: the message's bytes go out as they are, whatever they hold.
  fwrite(message.data(), 1, message.size(), stream);
  fputc('\n', stream);
  fflush(stream);
}

#include "host/system_log.h"

#include <errno.h>  // program_invocation_short_name
#include <glib.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "host/files.h"

namespace host {
namespace {

// "2024-05-01 14:03:27.481", local time.
std::string timestamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  size_t length = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + length, sizeof text - length, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  return text;
}

}  // namespace

void systemLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  g_autofree gchar* formatted = g_strdup_vprintf(format, arguments);
  va_end(arguments);
  std::string message = formatted;
  while (!message.empty() && message.back() == '\n') message.pop_back();

  std::string line = timestamp() + " " + program_invocation_short_name + "[" +
                     std::to_string(getpid()) + "] " + message + "\n";
  // One write, so that lines from several threads do not interleave.
  writeAll(STDERR_FILENO, line);

  static std::once_flag opened;
  std::call_once(opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", message.c_str());
}

}  // namespace host

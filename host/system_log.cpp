#include "host/system_log.h"

#include <errno.h>  // program_invocation_short_name
#include <glib.h>
#include <stdarg.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "host/files.h"

namespace host {

void systemLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  g_autofree gchar* formatted = g_strdup_vprintf(format, arguments);
  va_end(arguments);
  std::string message = formatted;
  while (!message.empty() && message.back() == '\n') message.pop_back();

  // "2024-05-01 14:03:27.481", local time: the microseconds cut to milliseconds.
  g_autoptr(GDateTime) now = g_date_time_new_now_local();
  g_autofree gchar* stamp = g_date_time_format(now, "%F %T.%f");
  std::string line = std::string(stamp, strlen(stamp) - 3) + " " + program_invocation_short_name +
                     "[" + std::to_string(getpid()) + "] " + message + "\n";
  // One write, so that lines from several threads do not interleave. On a terminal the line
  // takes the place of the download's progress line there, which comes back at its next change.
  static const bool terminal = isTerminal(STDERR_FILENO);
  writeAll(STDERR_FILENO, (terminal ? "\r\033[K" : "") + line);

  static std::once_flag opened;
  std::call_once(opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", message.c_str());
}

std::string redactedUrl(const std::string& url) {
  const std::string shown = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = shown.find("://");
  const size_t path = shown.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return withoutCredentials(shown.substr(0, path)) + shown.substr(std::min(path, shown.size()));
}

std::string withoutCredentials(std::string proxy) {
  const size_t scheme = proxy.find("://"), start = scheme == std::string::npos ? 0 : scheme + 3;
  if (size_t at = proxy.rfind('@'); at != std::string::npos && at >= start)
    proxy.erase(start, at + 1 - start);
  return proxy;
}

std::string withProxiesRedacted(std::string text) {
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* proxy = getenv(name);
    if (proxy == nullptr) continue;
    const std::string shown = withoutCredentials(proxy);
    if (shown == proxy) continue;
    for (size_t at = 0; (at = text.find(proxy, at)) != std::string::npos; at += shown.size())
      text.replace(at, strlen(proxy), shown);
  }
  return text;
}

}  // namespace host

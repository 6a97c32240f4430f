// The installer's system-log line. Writes "<date> <time> <program>[<pid>] <message>" as one line to
// standard error and the same message to syslog. Safe on any thread.
#pragma once

namespace host {

void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace host

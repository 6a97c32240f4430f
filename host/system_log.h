// The installer's system-log line. Writes "<date> <time> <program>[<pid>] <message>" as one line to
// standard error and the same message to syslog. Safe on any thread.
#pragma once

#include <string>

namespace host {

void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `url` as logs and messages show it: without the user and password before its host, its query
// and its fragment, which may hold secrets (a signed address's token) that a log would keep.
std::string redactedUrl(const std::string& url);

// The proxy address `proxy` without the user and password before its host: a password may hold
// '#', '?' or '/', so everything up to the last '@' goes.
std::string withoutCredentials(std::string proxy);

// `text` without the user and password of every proxy address that the environment names.
std::string withProxiesRedacted(std::string text);

}  // namespace host

// Which proxies a URL session's downloads go through, and where that came from: the environment's
// variables, as libcurl reads them, or else the desktop's settings (host/desktop_proxy.h). Chosen
// once, before the first request, for every task; each attempt goes through the proxy its plan
// has come to (host/attempt_plan.h). Plain values and functions, for one thread at a time.
#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

struct ProxyRoute {
  // libcurl's proxy URLs, in the order they are tried; "" is a direct connection. Never empty.
  std::vector<std::string> proxies = {""};
  std::string source;  // for the log: "from https_proxy", "from the desktop's settings …"
  bool fromEnvironment = false;  // libcurl reads the variables itself, no_proxy included

  // The proxy at `index` as logs and messages show it, without its password; empty: direct.
  std::string shown(size_t index) const;
  // Makes `easy`'s next request go through the proxy at `index`.
  void apply(CURL* easy, size_t index) const;
  // After a transport failure `code` through the proxy at `*index`: true, the next one in
  // `*index`, when the proxy itself could not be reached and another is left to try.
  bool fallBack(int code, size_t* index) const;
};

// The route for `url` when the environment names any proxy variable (no_proxy too); else none.
std::optional<ProxyRoute> environmentRoute(const std::string& url);

// Whether `url`'s host is one of `hosts` ("localhost, .example.com, *.corp, 10.0.0.0/8, ::1",
// or "*" for every host): the desktop's list of hosts reached without a proxy.
bool bypassesProxy(const std::string& url, const std::string& hosts);

}  // namespace host

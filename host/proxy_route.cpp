#include "host/proxy_route.h"

#include <arpa/inet.h>
#include <glib.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "host/system_log.h"

namespace host {
namespace {

// The URL's host, without the brackets of an IPv6 address; empty when it has none.
std::string hostOf(const std::string& url) {
  g_autoptr(GUri) parsed = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
  const char* host = parsed ? g_uri_get_host(parsed) : nullptr;
  return host ? host : "";
}

// Whether the address `host` lies in the network `entry` ("10.0.0.0/8", "::1"); nothing when
// `entry` is no address.
std::optional<bool> inNetwork(const std::string& host, const std::string& entry) {
  const size_t slash = entry.find('/');
  const int family = entry.find(':') != std::string::npos ? AF_INET6 : AF_INET;
  unsigned char network[16], address[16];
  if (inet_pton(family, entry.substr(0, slash).c_str(), network) != 1) return std::nullopt;
  if (inet_pton(family, host.c_str(), address) != 1) return false;
  const int bits = family == AF_INET ? 32 : 128;
  const int prefix = slash == std::string::npos ? bits : atoi(entry.c_str() + slash + 1);
  for (int bit = 0; bit < std::clamp(prefix, 0, bits); ++bit)
    if (((network[bit / 8] ^ address[bit / 8]) >> (7 - bit % 8)) & 1) return false;
  return true;
}

// Whether `host` is `entry`: an address, a network ("10.0.0.0/8"), a name, or a domain and
// every name below it (".example.com", "*.example.com" or "example.com").
bool hostMatches(const std::string& host, std::string entry) {
  if (std::optional<bool> inside = inNetwork(host, entry)) return *inside;
  entry.erase(0, entry.find_first_not_of("*."));
  g_autofree gchar* name = g_ascii_strdown(host.c_str(), -1);
  g_autofree gchar* domain = g_ascii_strdown(entry.c_str(), -1);
  const std::string_view shown = name, suffix = domain;
  return !suffix.empty() && (shown == suffix || (shown.ends_with(suffix) &&
                                                 shown[shown.size() - suffix.size() - 1] == '.'));
}

}  // namespace

std::string ProxyRoute::shown(size_t index) const {
  return redactedUrl(withoutCredentials(proxies.at(index)));
}

void ProxyRoute::apply(CURL* easy, size_t index) const {
  // An empty proxy is a direct connection, whatever the environment says.
  if (!fromEnvironment) curl_easy_setopt(easy, CURLOPT_PROXY, proxies.at(index).c_str());
}

bool ProxyRoute::fallBack(int code, size_t* index) const {
  if (proxies.at(*index).empty() || *index + 1 >= proxies.size() ||
      (code != CURLE_COULDNT_CONNECT && code != CURLE_COULDNT_RESOLVE_PROXY))
    return false;
  const std::string next = shown(++*index);
  systemLog("The proxy %s could not be reached; the download %s", shown(*index - 1).c_str(),
            next.empty() ? "connects directly" : ("goes through the proxy " + next).c_str());
  return true;
}

std::optional<ProxyRoute> environmentRoute(const std::string& url) {
  const char* const variables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                   "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
  if (std::ranges::none_of(variables, getenv)) return std::nullopt;
  ProxyRoute route{.source = "", .fromEnvironment = true};
  // libcurl's order: the scheme's own variable (http_proxy only in lower case), then all_proxy.
  const bool https = g_ascii_strncasecmp(url.c_str(), "https:", 6) == 0;
  const std::vector<const char*> names =
      https ? std::vector{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}
            : std::vector{"http_proxy", "all_proxy", "ALL_PROXY"};
  for (const char* name : names) {
    const char* proxy = getenv(name);
    if (proxy == nullptr || *proxy == '\0') continue;
    route = {.proxies = {proxy}, .source = std::string("from ") + name, .fromEnvironment = true};
    break;
  }
  const char* hosts = getenv("no_proxy") ? getenv("no_proxy") : getenv("NO_PROXY");
  if (hosts && bypassesProxy(url, hosts)) route.proxies = {""};
  return route;
}

bool bypassesProxy(const std::string& url, const std::string& hosts) {
  const std::string host = hostOf(url);
  g_auto(GStrv) entries = g_strsplit_set(hosts.c_str(), ", \t", -1);
  for (gchar** entry = entries; *entry != nullptr; ++entry) {
    if (g_str_equal(*entry, "*") || (**entry != '\0' && hostMatches(host, *entry))) return true;
  }
  return false;
}

}  // namespace host

#include "host/desktop_proxy.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "host/session_bus.h"
#include "host/system_log.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kQuestionLimit{1000};
constexpr const char* kNoAutoConfiguration =
    "The desktop's settings name a proxy auto-configuration (%s); proxy auto-configuration needs "
    "the desktop portal: the download connects directly";

// One question: its deadline, and the pipe end that a cancel makes readable.
struct Asking {
  Clock::time_point deadline;
  int cancelled;

  bool wasCancelled() const {
    pollfd cancel{cancelled, POLLIN, 0};
    return poll(&cancel, 1, 0) > 0;
  }
  bool late() const { return Clock::now() >= deadline; }
  bool ended() const { return wasCancelled() || late(); }

  // What a desktop tool printed, if it ended in time with status 0; one still running is killed.
  std::optional<std::string> run(std::vector<std::string> arguments) const {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    GPid pid = 0;
    int out = -1;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                G_SPAWN_STDERR_TO_DEV_NULL);
    if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, flags, nullptr, nullptr, &pid,
                                  nullptr, &out, nullptr, nullptr))
      return std::nullopt;
    FileDescriptor outFd(out);
    std::string printed;
    pollfd waits[] = {{out, POLLIN, 0}, {cancelled, POLLIN, 0}};
    while (waits[0].fd >= 0 && !ended()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (poll(waits, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
      if (waits[0].revents == 0) continue;
      char bytes[4096];
      ssize_t got = read(out, bytes, sizeof bytes);
      if (got > 0) printed.append(bytes, static_cast<size_t>(got));
      if (got == 0 || (got < 0 && errno != EINTR)) waits[0].fd = -1;
    }
    const bool endedItself = waits[0].fd < 0;
    if (!endedItself) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_spawn_close_pid(pid);
    if (!endedItself || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return printed;
  }
};

// Through `proxy` (directly when empty), as `desktop`'s settings say.
ProxyRoute desktopRoute(const char* desktop, std::string proxy = "") {
  return {.proxies = {std::move(proxy)},
          .source = std::string("from the desktop's settings (") + desktop + ")"};
}

// A desktop's proxy address as libcurl takes it ("" for a direct connection), or nothing.
std::optional<std::string> curlProxy(std::string_view uri) {
  if (uri.starts_with("direct://")) return "";
  if (uri.starts_with("socks://")) return "socks5://" + std::string(uri.substr(8));
  for (std::string_view scheme : {"http://", "https://", "socks4://", "socks4a://", "socks5://"})
    if (uri.starts_with(scheme)) return std::string(uri);
  return std::nullopt;
}

// The session bus named in the environment or in the runtime directory; never one started for
// the question (GLib's autolaunch would start one on an X display).
std::string sessionBusAddress() {
  if (const char* named = g_getenv("DBUS_SESSION_BUS_ADDRESS")) return named;
  g_autofree gchar* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
  GStatBuf info;
  if (g_stat(socket, &info) != 0 || !S_ISSOCK(info.st_mode)) return "";
  g_autofree gchar* escaped = g_uri_escape_string(socket, "/", FALSE);
  return std::string("unix:path=") + escaped;
}

// Why `reply` holds no proxies, for the log.
std::string whyNoProxies(const BusReply& reply) {
  if (reply.outcome == BusOutcome::kTimedOut) return "no answer within 1 s";
  if (reply.outcome == BusOutcome::kClosed) return "the session bus closed the connection";
  if (reply.message.type != BusMessageType::kError) return "an answer that is no list of proxies";
  const std::string explanation = bodyLeadingString(reply.message);
  return reply.message.errorName + (explanation.empty() ? "" : ": " + explanation);
}

// The portal's answer for `url`; nothing where no portal is there (or the question was
// cancelled), and a direct connection, logged, where it gave none in time or none to read.
std::optional<ProxyRoute> askPortal(const Asking& asking, const std::string& url) {
  const BusReply reply =
      callSessionBus(sessionBusAddress(),
                     {"org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                      "org.freedesktop.portal.ProxyResolver", "Lookup", url},
                     asking.deadline, asking.cancelled);
  if (reply.outcome == BusOutcome::kNoBus || asking.wasCancelled()) return std::nullopt;
  const bool error = reply.message.type == BusMessageType::kError;
  // None of the bus's names is the portal: the desktop's files are read.
  for (const char* absent :
       {"ServiceUnknown", "NameHasNoOwner", "UnknownMethod", "UnknownInterface", "UnknownObject"})
    if (error && reply.message.errorName == std::string("org.freedesktop.DBus.Error.") + absent)
      return std::nullopt;
  const std::optional<std::vector<std::string>> uris =
      error ? std::nullopt : bodyStringList(reply.message);
  ProxyRoute route = desktopRoute("the desktop portal");
  if (!uris) {
    systemLog("The desktop portal gave no proxy (%s): the download connects directly",
              whyNoProxies(reply).c_str());
    return route;
  }
  route.proxies.clear();
  for (const std::string& uri : *uris)
    if (std::optional<std::string> proxy = curlProxy(uri)) route.proxies.push_back(*proxy);
  if (route.proxies.empty()) route.proxies = {""};
  return route;
}

// GNOME's proxy keys as `gsettings list-recursively` prints them ("org.gnome.system.proxy.http
// host '…'"), by the key's name below the schema ("mode", "http.host"); nothing without them.
std::optional<std::map<std::string, std::string>> gnomeKeys(const Asking& asking) {
  std::optional<std::string> listed =
      asking.run({"gsettings", "list-recursively", "org.gnome.system.proxy"});
  if (!listed) return std::nullopt;
  std::map<std::string, std::string> keys;
  g_auto(GStrv) lines = g_strsplit(listed->c_str(), "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    g_auto(GStrv) fields = g_strsplit(*line, " ", 3);
    if (g_strv_length(fields) != 3 || !g_str_has_prefix(fields[0], "org.gnome.system.proxy"))
      continue;
    std::string schema = fields[0] + strlen("org.gnome.system.proxy");
    g_autoptr(GVariant) value = g_variant_parse(nullptr, fields[2], nullptr, nullptr, nullptr);
    if (!value) continue;
    std::string text;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
      text = g_variant_get_string(value, nullptr);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
      text = std::to_string(g_variant_get_int32(value));
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
      g_autofree const gchar** items = g_variant_get_strv(value, nullptr);
      g_autofree gchar* joined = g_strjoinv(",", const_cast<gchar**>(items));
      text = joined;
    }
    keys[(schema.empty() ? "" : schema.substr(1) + ".") + fields[1]] = text;
  }
  return keys;
}

std::optional<ProxyRoute> gnomeSettings(const Asking& asking, const std::string& url) {
  std::optional<std::map<std::string, std::string>> keys = gnomeKeys(asking);
  if (!keys) return std::nullopt;
  const std::string mode = (*keys)["mode"];
  if (mode == "auto")
    systemLog(kNoAutoConfiguration, redactedUrl((*keys)["autoconfig-url"]).c_str());
  if (mode != "manual" || bypassesProxy(url, (*keys)["ignore-hosts"])) return desktopRoute("GNOME");
  const bool https = g_str_has_prefix(url.c_str(), "https:");
  for (const char* kind : {https ? "https" : "http", "socks"}) {
    const std::string host = (*keys)[std::string(kind) + ".host"];
    const std::string port = (*keys)[std::string(kind) + ".port"];
    if (!host.empty() && !port.empty() && port != "0")
      return desktopRoute(
          "GNOME", (kind == std::string("socks") ? "socks5://" : "http://") + host + ":" + port);
  }
  return desktopRoute("GNOME");
}

// A proxy of KDE's file ("http://host 8080", "host:8080") as a proxy address.
std::string kdeProxy(std::string value, const char* scheme) {
  if (size_t blank = value.rfind(' '); blank != std::string::npos) value[blank] = ':';
  if (value.starts_with("socks://")) value.replace(0, 5, "socks5");
  return value.empty() || value.find("://") != std::string::npos ? value : scheme + value;
}

std::optional<ProxyRoute> kdeSettings(const std::string& url) {
  g_autofree gchar* path = g_build_filename(g_get_user_config_dir(), "kioslaverc", nullptr);
  g_autoptr(GKeyFile) file = g_key_file_new();
  if (!g_key_file_load_from_file(file, path, G_KEY_FILE_NONE, nullptr)) return std::nullopt;
  auto text = [&](const char* key) {
    g_autofree gchar* value = g_key_file_get_string(file, "Proxy Settings", key, nullptr);
    return std::string(value ? g_strstrip(value) : "");
  };
  const std::string type = text("ProxyType");  // 1 by hand, 2 a PAC file, 3 found on the network
  if (type == "2" || type == "3")
    systemLog(kNoAutoConfiguration, type == "2" ? redactedUrl(text("Proxy Config Script")).c_str()
                                                : "found on the network");
  if (type != "1" || bypassesProxy(url, text("NoProxyFor"))) return desktopRoute("KDE");
  const bool https = g_str_has_prefix(url.c_str(), "https:");
  for (const char* key : {https ? "httpsProxy" : "httpProxy", "socksProxy"}) {
    std::string proxy = kdeProxy(text(key), key[0] == 's' ? "socks5://" : "http://");
    if (!proxy.empty()) return desktopRoute("KDE", proxy);
  }
  return desktopRoute("KDE");
}

// Whether XDG_CURRENT_DESKTOP, a list of names, holds one that `is` accepts.
template <typename Is>
bool desktopIs(Is is) {
  const char* desktops = g_getenv("XDG_CURRENT_DESKTOP");
  g_auto(GStrv) names = g_strsplit(desktops ? desktops : "", ":", -1);
  for (gchar** name = names; *name != nullptr; ++name)
    if (is(std::string_view(*name))) return true;
  return false;
}

}  // namespace

DesktopProxyQuestion::DesktopProxyQuestion() {
  int ends[2] = {-1, -1};
  if (g_unix_open_pipe(ends, FD_CLOEXEC, nullptr)) {
    cancelled_.reset(ends[0]);
    cancel_.reset(ends[1]);
  }
}

void DesktopProxyQuestion::cancel() { (void)!write(cancel_.get(), "", 1); }

ProxyRoute DesktopProxyQuestion::ask(const std::string& url) {
  const Asking asking{Clock::now() + kQuestionLimit, cancelled_.get()};
  if (std::optional<ProxyRoute> portal = askPortal(asking, url)) return *portal;
  std::optional<ProxyRoute> settings;
  // The desktops that keep their proxy in GNOME's settings, as their browsers read it.
  if (!asking.ended() && desktopIs([](std::string_view name) {
        return name.find("GNOME") != std::string_view::npos || name == "Unity" ||
               name == "X-Cinnamon" || name == "Budgie" || name == "Pantheon";
      }))
    settings = gnomeSettings(asking, url);
  if (!settings && !asking.ended() &&
      desktopIs([](std::string_view name) { return name == "KDE"; }))
    settings = kdeSettings(url);
  if (!settings && asking.late())
    systemLog("The desktop's proxy settings took over 1 s to read: the download connects directly");
  return settings && !asking.wasCancelled() ? *settings : ProxyRoute{};
}

ProxyRoute chooseProxyRoute(const std::string& url, DesktopProxyQuestion& question) {
  std::optional<ProxyRoute> environment = environmentRoute(url);
  ProxyRoute route = environment ? *environment : question.ask(url);
  if (const std::string proxy = route.shown(0); !proxy.empty())
    systemLog("The download goes through the proxy %s (%s)", proxy.c_str(), route.source.c_str());
  return route;
}

}  // namespace host

#include "host/desktop_proxy.h"

#include <glib/gstdio.h>
#include <sys/stat.h>

#include <initializer_list>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "host/system_log.h"

namespace host {
namespace {

constexpr unsigned kQuestionLimitMs = 1000;
constexpr const char* kNoAutoConfiguration =
    "The desktop's settings name a proxy auto-configuration (%s); proxy auto-configuration needs "
    "the desktop portal: the download connects directly";

// The question's steps, one at a time, each begun on a main context of its own and waited for
// until its callback, the question's cancel or its deadline, whichever comes first.
class Steps {
 public:
  explicit Steps(GCancellable* cancelled)
      : cancelled_(cancelled),
        context_(g_main_context_new()),
        deadline_(g_timeout_source_new(kQuestionLimitMs)),
        woken_(g_cancellable_source_new(cancelled)) {
    g_main_context_push_thread_default(context_);
    g_source_set_callback(deadline_, &Steps::onDeadline, this, nullptr);
    g_source_attach(deadline_, context_);
    g_source_attach(woken_, context_);  // a cancel from another thread wakes the wait
  }
  ~Steps() {
    for (GSource* source : {deadline_, woken_}) {
      g_source_destroy(source);
      g_source_unref(source);
    }
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  Steps(const Steps&) = delete;
  Steps& operator=(const Steps&) = delete;

  // Begins a step with `start(callback, data)`, a GIO asynchronous call, and gives its result,
  // or nothing when the question ended first (the step may still call back: it finds its slot).
  template <typename Start>
  GAsyncResult* await(Start start) {
    auto slot = std::make_shared<GAsyncResult*>(nullptr);
    start(&Steps::onResult, new std::shared_ptr<GAsyncResult*>(slot));
    while (*slot == nullptr && !ended()) g_main_context_iteration(context_, TRUE);
    return std::exchange(*slot, nullptr);
  }
  bool ended() const { return g_cancellable_is_cancelled(cancelled_); }
  bool late() const { return late_; }
  GCancellable* cancellable() const { return cancelled_; }

 private:
  static void onResult(GObject*, GAsyncResult* result, gpointer data) {
    auto* slot = static_cast<std::shared_ptr<GAsyncResult*>*>(data);
    **slot = G_ASYNC_RESULT(g_object_ref(result));
    delete slot;
  }
  static gboolean onDeadline(gpointer self) {
    static_cast<Steps*>(self)->late_ = true;
    g_cancellable_cancel(static_cast<Steps*>(self)->cancelled_);
    return G_SOURCE_REMOVE;
  }

  GCancellable* cancelled_;
  GMainContext* context_;
  GSource* deadline_;
  GSource* woken_;
  bool late_ = false;
};

ProxyRoute direct(const char* desktop) {
  return {.source = std::string("from the desktop's settings (") + desktop + ")"};
}

ProxyRoute through(std::string proxy, const char* desktop) {
  ProxyRoute route = direct(desktop);
  route.proxies = {std::move(proxy)};
  return route;
}

// A proxy address of the desktop as libcurl takes it ("" for a direct connection), or nothing
// for one libcurl cannot use.
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
  g_autofree gchar* escaped = g_dbus_address_escape_value(socket);
  return std::string("unix:path=") + escaped;
}

// Errors that say no portal is there to answer: the other sources are asked instead.
bool portalAbsent(const GError* error) {
  for (GDBusError absent : {G_DBUS_ERROR_SERVICE_UNKNOWN, G_DBUS_ERROR_NAME_HAS_NO_OWNER,
                            G_DBUS_ERROR_UNKNOWN_METHOD, G_DBUS_ERROR_UNKNOWN_INTERFACE,
                            G_DBUS_ERROR_UNKNOWN_OBJECT})
    if (g_error_matches(error, G_DBUS_ERROR, absent)) return true;
  return false;
}

// The portal's answer for `url`; nothing where no portal is there (or the question ended), and
// a direct connection, logged, where it could not answer.
std::optional<ProxyRoute> askPortal(Steps& steps, const std::string& url) {
  const std::string address = sessionBusAddress();
  if (address.empty()) return std::nullopt;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GAsyncResult) connected = steps.await([&](GAsyncReadyCallback done, gpointer data) {
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, steps.cancellable(), done, data);
  });
  g_autoptr(GDBusConnection) bus =
      connected ? g_dbus_connection_new_for_address_finish(connected, &error) : nullptr;
  g_autoptr(GAsyncResult) called = nullptr;
  if (bus)
    called = steps.await([&](GAsyncReadyCallback done, gpointer data) {
      g_dbus_connection_call(bus, "org.freedesktop.portal.Desktop",
                             "/org/freedesktop/portal/desktop",
                             "org.freedesktop.portal.ProxyResolver", "Lookup",
                             g_variant_new("(s)", url.c_str()), G_VARIANT_TYPE("(as)"),
                             G_DBUS_CALL_FLAGS_NONE, G_MAXINT, steps.cancellable(), done, data);
    });
  g_autoptr(GVariant) reply = called ? g_dbus_connection_call_finish(bus, called, &error) : nullptr;
  if (bus) g_dbus_connection_close(bus, nullptr, nullptr, nullptr);
  if (steps.ended() && !steps.late()) return std::nullopt;
  if (!reply && (portalAbsent(error) || (!bus && !steps.late()))) return std::nullopt;
  if (!reply) {
    systemLog("The desktop portal gave no proxy (%s): the download connects directly",
              steps.late() ? "no answer within 1 s" : error->message);
    return direct("the desktop portal");
  }
  g_autofree const gchar** uris = nullptr;
  g_variant_get(reply, "(^a&s)", &uris);
  ProxyRoute route = direct("the desktop portal");
  route.proxies.clear();
  for (const gchar** uri = uris; *uri != nullptr; ++uri)
    if (std::optional<std::string> proxy = curlProxy(*uri)) route.proxies.push_back(*proxy);
  if (route.proxies.empty()) route.proxies = {""};
  return route;
}

// GNOME's proxy keys as `gsettings list-recursively` prints them ("org.gnome.system.proxy.http
// host '…'"), by the key's name below the schema ("mode", "http.host"); nothing without them.
std::optional<std::map<std::string, std::string>> gnomeKeys(Steps& steps) {
  g_autoptr(GSubprocess) tool = g_subprocess_new(
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_SILENCE),
      nullptr, "gsettings", "list-recursively", "org.gnome.system.proxy", nullptr);
  if (!tool) return std::nullopt;
  g_autoptr(GAsyncResult) read = steps.await([&](GAsyncReadyCallback done, gpointer data) {
    g_subprocess_communicate_utf8_async(tool, nullptr, steps.cancellable(), done, data);
  });
  g_autofree gchar* printed = nullptr;
  if (!read || !g_subprocess_communicate_utf8_finish(tool, read, &printed, nullptr, nullptr) ||
      !g_subprocess_get_successful(tool)) {
    g_subprocess_force_exit(tool);
    return std::nullopt;
  }
  std::map<std::string, std::string> keys;
  g_auto(GStrv) lines = g_strsplit(printed, "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    g_auto(GStrv) fields = g_strsplit(*line, " ", 3);
    if (g_strv_length(fields) != 3 || !g_str_has_prefix(fields[0], "org.gnome.system.proxy"))
      continue;
    std::string schema = fields[0] + strlen("org.gnome.system.proxy");
    g_autoptr(GVariant) value = g_variant_parse(nullptr, fields[2], nullptr, nullptr, nullptr);
    if (!value) continue;
    std::string text;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) text = g_variant_get_string(value, nullptr);
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

std::optional<ProxyRoute> gnomeSettings(Steps& steps, const std::string& url) {
  std::optional<std::map<std::string, std::string>> keys = gnomeKeys(steps);
  if (!keys) return std::nullopt;
  const std::string mode = (*keys)["mode"];
  if (mode == "auto")
    systemLog(kNoAutoConfiguration, redactedUrl((*keys)["autoconfig-url"]).c_str());
  if (mode != "manual" || bypassesProxy(url, (*keys)["ignore-hosts"])) return direct("GNOME");
  const bool https = g_str_has_prefix(url.c_str(), "https:");
  for (const char* kind : {https ? "https" : "http", "socks"}) {
    const std::string host = (*keys)[std::string(kind) + ".host"];
    const std::string port = (*keys)[std::string(kind) + ".port"];
    if (!host.empty() && !port.empty() && port != "0")
      return through((kind == std::string("socks") ? "socks5://" : "http://") + host + ":" + port,
                     "GNOME");
  }
  return direct("GNOME");
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
    systemLog(kNoAutoConfiguration,
              type == "2" ? redactedUrl(text("Proxy Config Script")).c_str() : "found on the network");
  if (type != "1" || bypassesProxy(url, text("NoProxyFor"))) return direct("KDE");
  const bool https = g_str_has_prefix(url.c_str(), "https:");
  for (const char* key : {https ? "httpsProxy" : "httpProxy", "socksProxy"}) {
    std::string proxy = kdeProxy(text(key), key[0] == 's' ? "socks5://" : "http://");
    if (!proxy.empty()) return through(proxy, "KDE");
  }
  return direct("KDE");
}

// Whether XDG_CURRENT_DESKTOP, a list of names, holds one that `is` accepts.
template <typename Is>
bool desktopIs(Is is) {
  g_auto(GStrv) names = g_strsplit(g_getenv("XDG_CURRENT_DESKTOP") ? g_getenv("XDG_CURRENT_DESKTOP") : "", ":", -1);
  for (gchar** name = names; *name != nullptr; ++name)
    if (is(std::string_view(*name))) return true;
  return false;
}

}  // namespace

DesktopProxyQuestion::DesktopProxyQuestion() : cancelled_(g_cancellable_new()) {}

DesktopProxyQuestion::~DesktopProxyQuestion() { g_object_unref(cancelled_); }

ProxyRoute DesktopProxyQuestion::ask(const std::string& url) {
  Steps steps(cancelled_);
  if (std::optional<ProxyRoute> portal = askPortal(steps, url)) return *portal;
  std::optional<ProxyRoute> settings;
  // The desktops that keep their proxy in GNOME's settings, as their browsers read it.
  if (!steps.ended() && desktopIs([](std::string_view name) {
        return name.find("GNOME") != std::string_view::npos || name == "Unity" ||
               name == "X-Cinnamon" || name == "Budgie" || name == "Pantheon";
      }))
    settings = gnomeSettings(steps, url);
  if (!settings && !steps.ended() && desktopIs([](std::string_view name) { return name == "KDE"; }))
    settings = kdeSettings(url);
  if (steps.late()) systemLog("The desktop's proxy settings took over 1 s to read: the download connects directly");
  return settings && !steps.ended() ? *settings : ProxyRoute{};
}

ProxyRoute chooseProxyRoute(const std::string& url, DesktopProxyQuestion& question) {
  std::optional<ProxyRoute> environment = environmentRoute(url);
  ProxyRoute route = environment ? *environment : question.ask(url);
  logRoute(route);
  return route;
}

}  // namespace host

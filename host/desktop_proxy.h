// The desktop's proxy for a download, for a session whose environment names none
// (host/proxy_route.h). The desktop is asked in this order: the desktop portal's ProxyResolver
// on the session bus, which applies the desktop's own settings, a proxy auto-configuration (PAC)
// included; where no portal answers on the bus, GNOME's settings (org.gnome.system.proxy, read
// with the system's gsettings tool, so that a build whose GLib loads no system module reads them
// too) when XDG_CURRENT_DESKTOP names GNOME or a desktop built on it, and KDE's kioslaverc when
// it names KDE. A PAC file without the portal is not evaluated: the log says so, and the
// download connects directly, as it does where no desktop answers.
//
// The whole question takes at most a second: a portal that does not answer, answers garbage or
// hangs costs the run that second and a log line. One question at a time per object, asked on
// the URL session's worker thread; `cancel` may come from any thread and ends it at once.
#pragma once

#include <gio/gio.h>

#include <string>

#include "host/proxy_route.h"

namespace host {

class DesktopProxyQuestion {
 public:
  DesktopProxyQuestion();
  ~DesktopProxyQuestion();
  DesktopProxyQuestion(const DesktopProxyQuestion&) = delete;
  DesktopProxyQuestion& operator=(const DesktopProxyQuestion&) = delete;

  // The proxies the desktop has for `url`: a direct connection when it names none, cannot be
  // asked in time, or the question was cancelled.
  ProxyRoute ask(const std::string& url);
  // Ends the question under way, and any later one, at once.
  void cancel() { g_cancellable_cancel(cancelled_); }

 private:
  GCancellable* cancelled_;
};

// The route for `url`: the environment's when it names any proxy variable, else the desktop's.
// Logged when it goes through a proxy.
ProxyRoute chooseProxyRoute(const std::string& url, DesktopProxyQuestion& question);

}  // namespace host

// The desktop's proxy for a download, for a session whose environment names none
// (host/proxy_route.h). The desktop is asked in this order: the desktop portal's ProxyResolver
// on the session bus, which applies the desktop's own settings, a proxy auto-configuration (PAC)
// included; where no portal answers on the bus, GNOME's settings (org.gnome.system.proxy) when
// XDG_CURRENT_DESKTOP names GNOME or a desktop built on it, and KDE's kioslaverc when it names
// KDE. The portal is asked on a connection of the installer's own (host/session_bus.h), and
// GNOME's settings are read with the system's gsettings, so that the portable build, whose GLib
// has no GIO and loads no system module, asks them as the development build does. A PAC file
// without the portal is not evaluated: the log says so, and the download connects directly, as
// it does where no desktop answers.
//
// The whole question takes at most a second: a portal that does not answer, answers garbage or
// hangs costs the run that second and a log line. One question at a time per object, asked on
// the URL session's worker thread; `cancel` may come from any thread (or a signal handler) and
// ends it at once, for good.
#pragma once

#include <string>

#include "host/files.h"
#include "host/proxy_route.h"

namespace host {

class DesktopProxyQuestion {
 public:
  DesktopProxyQuestion();
  DesktopProxyQuestion(const DesktopProxyQuestion&) = delete;
  DesktopProxyQuestion& operator=(const DesktopProxyQuestion&) = delete;

  // The proxies the desktop has for `url`: a direct connection when it names none, cannot be
  // asked in time, or the question was cancelled.
  ProxyRoute ask(const std::string& url);
  void cancel();

 private:
  FileDescriptor cancelled_, cancel_;  // a pipe: a byte in it ends every wait of the question
};

// The route for `url`: the environment's when it names any proxy variable, else the desktop's.
// Logged when it goes through a proxy.
ProxyRoute chooseProxyRoute(const std::string& url, DesktopProxyQuestion& question);

}  // namespace host

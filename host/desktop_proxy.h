// The desktop's proxy for a download whose environment names none (host/proxy_route.h): the
// desktop portal's ProxyResolver on the session bus (the desktop's settings, a PAC file
// included); where no portal answers, GNOME's settings when XDG_CURRENT_DESKTOP names GNOME or a
// desktop built on it, and KDE's kioslaverc for KDE. The bus connection is the installer's own
// (host/session_bus.h) and GNOME's settings are read with gsettings, so that the portable build,
// whose GLib has no GIO, asks as the development build does. A PAC file without the portal is
// not evaluated: the log says so, and the download connects directly.
//
// The question takes at most a second (a hung portal costs that and a log line). One question
// at a time per object; `cancel` may come from any thread (or a signal handler), for good.
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

  // The desktop's proxies for `url`; direct when it names none, answers late or is cancelled.
  ProxyRoute ask(const std::string& url);
  void cancel();

 private:
  FileDescriptor cancelled_, cancel_;  // a pipe: a byte in it ends every wait of the question
};

// The route for `url`, logged: the environment's if it names a proxy variable, else the desktop's.
ProxyRoute chooseProxyRoute(const std::string& url, DesktopProxyQuestion& question);

}  // namespace host

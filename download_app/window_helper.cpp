// The window helper: the desktop window as a process of its own, for the portable installer.
//
// The portable installer carries GLib inside itself, and GTK must run on the GLib it was loaded
// with, the system's. So the installer starts this small program, linked against the system's
// GTK, and drives the window through it (download_app/desktop_window_process.cpp): standard
// input is a socket that brings the controls' calls and takes the window's events back, file
// descriptor 3 the installer's standard error, given back to GTK once the program has started
// (until then the dynamic loader's complaint about a missing GTK stays off the terminal), and
// argv[1] the installer's catalogues. The program ends when the installer hangs up, and only
// then: the terminal's signals are the installer's to act on.

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <optional>

#include "download_app/gtk_window.h"
#include "download_app/window_messages.h"

namespace download_app {
namespace {

constexpr int kInstaller = STDIN_FILENO;
constexpr int kInstallerStandardError = 3;

void send(WindowMessageKind kind) {
  std::string bytes = encodeWindowMessage({kind, 0, 0, {}});
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t written = ::send(kInstaller, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the installer has gone; its hang-up ends the loop
    sent += static_cast<size_t>(written);
  }
}

class ClosingReporter : public WindowDelegate {
 public:
  void windowWillClose() override { send(WindowMessageKind::WillClose); }
};

struct Helper {
  WindowControls controls;
  ClosingReporter reporter;
  WindowMessageReader reader;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);

  void apply(const WindowMessage& m) {
    using K = WindowMessageKind;
    bool on = m.number != 0;
    switch (m.kind) {
      case K::SetDoubleValue:
        controls.progress->setDoubleValue(m.number);
        break;
      case K::SetMaxValue:
        controls.progress->setMaxValue(m.number);
        break;
      case K::SetIndeterminate:
        controls.progress->setIndeterminate(on);
        break;
      case K::SetUsesThreadedAnimation:
        controls.progress->setUsesThreadedAnimation(on);
        break;
      case K::StartAnimation:
        controls.progress->startAnimation();
        break;
      case K::StopAnimation:
        controls.progress->stopAnimation();
        break;
      case K::IncrementBy:
        controls.progress->incrementBy(m.number);
        break;
      case K::SetUsesSingleLineMode:
        controls.status->setUsesSingleLineMode(on);
        break;
      case K::SetStringValue:
        controls.status->setStringValue(m.text);
        break;
      case K::SetTextColor:
        controls.status->setTextColor(on ? TextColor::Red : TextColor::Standard);
        break;
      case K::SetTitle:
        controls.button->setTitle(m.text);
        break;
      case K::SetEnabled:
        controls.button->setEnabled(on);
        break;
      case K::SetKeyEquivalent:
        controls.button->setKeyEquivalent(m.text);
        break;
      case K::SetHasAction:
        controls.button->setAction(on ? std::function<void()>([] { send(K::Pressed); })
                                      : std::function<void()>());
        break;
      case K::SetScalesProportionally:
        controls.image->setScalesProportionally(on);
        break;
      case K::SetEditable:
        controls.image->setEditable(on);
        break;
      case K::SetImage:
        controls.image->setImage({m.text, m.number, m.secondNumber});
        break;
      case K::Close:
        controls.window->close();
        break;
      case K::LayoutIfNeeded:
        controls.window->layoutIfNeeded();
        break;
      case K::SetViewsNeedDisplay:
        controls.window->setViewsNeedDisplay(on);
        break;
      default:
        break;  // the helper's own events never come back to it
    }
  }

  static gboolean onInstaller(gint fd, GIOCondition, gpointer data) {
    auto* helper = static_cast<Helper*>(data);
    char buffer[16384];
    ssize_t received = read(fd, buffer, sizeof buffer);
    if (received < 0 && errno == EINTR) return G_SOURCE_CONTINUE;
    if (received <= 0) {
      g_main_loop_quit(helper->loop);
      return G_SOURCE_REMOVE;
    }
    helper->reader.append({buffer, static_cast<size_t>(received)});
    while (std::optional<WindowMessage> message = helper->reader.next()) helper->apply(*message);
    return G_SOURCE_CONTINUE;
  }
};

}  // namespace
}  // namespace download_app

int main(int argc, char** argv) {
  using namespace download_app;
  // A Ctrl-C or a session's SIGTERM is the installer's to handle: the window goes when the
  // installer hangs up, whatever ended it.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, SIG_IGN);
  if (dup2(kInstallerStandardError, STDERR_FILENO) >= 0) close(kInstallerStandardError);
  if (argc > 1) useCatalogues(argv[1]);
  std::optional<WindowControls> window = makeGtkWindow();
  if (!window) {
    send(WindowMessageKind::NoDisplay);
    return 0;
  }
  Helper helper;
  helper.controls = std::move(*window);
  helper.controls.window->setDelegate(&helper.reporter);
  send(WindowMessageKind::Shown);
  g_unix_fd_add(kInstaller, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                Helper::onInstaller, &helper);
  g_main_loop_run(helper.loop);
  helper.controls.window->setDelegate(nullptr);
  return 0;
}

// The window helper: the desktop window as a process of its own, for the portable installer,
// whose own GLib cannot run the system's GTK (download_app/desktop_window_process.cpp). Standard
// input is the socket to the installer; file descriptor 3 the installer's standard error, given
// to GTK once the program has started (until then the dynamic loader's complaint about a missing
// GTK stays off the terminal); argv[1] the installer's catalogues.

#include <glib-unix.h>
#include <unistd.h>

#include <csignal>
#include <optional>

#include "download_app/gtk_window.h"
#include "download_app/window_messages.h"

namespace download_app {
namespace {

constexpr int kInstaller = STDIN_FILENO;
constexpr int kInstallerStandardError = 3;

void send(WindowMessageKind kind) { sendWindowMessage(kInstaller, {kind, 0, 0, {}}); }

// Gives the installer's messages to the window, and tells the installer when it closes.
struct Helper : WindowDelegate {
  std::shared_ptr<WindowCalls> window;
  WindowMessageReader reader;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);

  // A closed window is never shown again: the helper's work is done.
  void windowWillClose() override {
    send(WindowMessageKind::WillClose);
    g_main_loop_quit(loop);
  }

  static gboolean onInstaller(gint fd, GIOCondition, gpointer data) {
    auto* helper = static_cast<Helper*>(data);
    if (!helper->reader.readFrom(fd)) {
      g_main_loop_quit(helper->loop);
      return G_SOURCE_REMOVE;
    }
    while (std::optional<WindowMessage> message = helper->reader.next())
      helper->window->call(*message);
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
  std::optional<WindowControls> controls = makeGtkWindow();
  if (!controls) {
    send(WindowMessageKind::NoDisplay);
    return 0;
  }
  Helper helper;
  helper.window = controls->calls;
  helper.window->setDelegate(&helper);
  // The installer runs its action, when it has one.
  helper.window->setAction([] { send(WindowMessageKind::Pressed); });
  send(WindowMessageKind::Shown);
  g_unix_fd_add(kInstaller, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                Helper::onInstaller, &helper);
  g_main_loop_run(helper.loop);
  helper.window->setDelegate(nullptr);
  return 0;
}

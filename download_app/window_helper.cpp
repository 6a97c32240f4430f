// The window helper: the desktop window as a process of its own, for the portable installer
// (desktop_window_process.cpp). Standard input is the socket to the installer; descriptor 3 the
// installer's standard error, given to GTK once the program has started (until then the dynamic
// loader's complaint about a missing GTK stays off the terminal); argv[1] the installer's
// catalogues, then the splash's path, width and height when there is one.

#include <glib-unix.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <optional>

#include "download_app/gtk_window.h"
#include "download_app/window_messages.h"

namespace download_app {
namespace {

constexpr int kInstaller = STDIN_FILENO;
constexpr int kInstallerStandardError = 3;

void send(WindowMessageKind kind) { sendWindowMessage(kInstaller, {kind}); }

// Gives the installer's messages to the window, and tells the installer what its user did. A
// closed window is never shown again: the helper's work is done.
struct Helper : WindowEvents {
  std::unique_ptr<DownloadWindow> window;
  WindowMessageReader reader;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);

  void pressed() override { send(WindowMessageKind::Pressed); }
  void closed() override {
    send(WindowMessageKind::Closed);
    g_main_loop_quit(loop);
  }
  void lost(const WindowStatus&) override { g_main_loop_quit(loop); }

  static gboolean onInstaller(gint fd, GIOCondition, gpointer data) {
    auto* helper = static_cast<Helper*>(data);
    bool open = helper->reader.readFrom(fd);
    while (std::optional<WindowMessage> message = helper->reader.next()) {
      deliverWindowMessage(*message, *helper->window);
      if (message->kind == WindowMessageKind::Close) open = false;
    }
    if (open && !helper->reader.broken()) return G_SOURCE_CONTINUE;
    g_main_loop_quit(helper->loop);
    return G_SOURCE_REMOVE;
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
  std::optional<Image> splash;
  if (argc > 4) splash = Image{argv[2], std::strtod(argv[3], nullptr), std::strtod(argv[4], nullptr)};
  Helper helper;
  helper.window = makeGtkWindow(splash, helper);
  if (!helper.window) {
    send(WindowMessageKind::NoDisplay);
    return 0;
  }
  send(WindowMessageKind::Shown);
  g_unix_fd_add(kInstaller, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                Helper::onInstaller, &helper);
  g_main_loop_run(helper.loop);
  return 0;
}

// The window helper: the desktop window as a process of its own, for the portable installer,
// whose own GLib cannot run the system's GTK (download_app/desktop_window_process.cpp). Standard
// input is the socket to the installer; file descriptor 3 the installer's standard error, given
// to GTK once the program has started (until then the dynamic loader's complaint about a missing
// GTK stays off the terminal); argv[1] the installer's catalogues.

#include <glib-unix.h>
#include <gtk/gtk.h>
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
        return controls.progress->setDoubleValue(m.number);
      case K::SetMaxValue:
        return controls.progress->setMaxValue(m.number);
      case K::SetIndeterminate:
        return controls.progress->setIndeterminate(on);
      case K::SetUsesThreadedAnimation:
        return controls.progress->setUsesThreadedAnimation(on);
      case K::StartAnimation:
        return controls.progress->startAnimation();
      case K::StopAnimation:
        return controls.progress->stopAnimation();
      case K::IncrementBy:
        return controls.progress->incrementBy(m.number);
      case K::SetUsesSingleLineMode:
        return controls.status->setUsesSingleLineMode(on);
      case K::SetStringValue:
        return controls.status->setStringValue(m.text);
      case K::SetTextColor:
        return controls.status->setTextColor(on ? TextColor::Red : TextColor::Standard);
      case K::SetTitle:
        return controls.button->setTitle(m.text);
      case K::SetEnabled:
        return controls.button->setEnabled(on);
      case K::SetKeyEquivalent:
        return controls.button->setKeyEquivalent(m.text);
      case K::SetHasAction:
        return controls.button->setAction(on ? std::function<void()>([] { send(K::Pressed); })
                                             : std::function<void()>());
      case K::SetScalesProportionally:
        return controls.image->setScalesProportionally(on);
      case K::SetEditable:
        return controls.image->setEditable(on);
      case K::SetImage:
        return controls.image->setImage({m.text, m.number, m.secondNumber});
      case K::Close:
        return controls.window->close();
      case K::LayoutIfNeeded:
        return controls.window->layoutIfNeeded();
      case K::SetViewsNeedDisplay:
        return controls.window->setViewsNeedDisplay(on);
      default:
        return;  // the helper's own events never come back to it
    }
  }

  static gboolean onInstaller(gint fd, GIOCondition, gpointer data) {
    auto* helper = static_cast<Helper*>(data);
    if (!helper->reader.readFrom(fd)) {
      g_main_loop_quit(helper->loop);
      return G_SOURCE_REMOVE;
    }
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

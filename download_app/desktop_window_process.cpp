// The desktop window of the portable installer, drawn by a helper process.
//
// The portable installer carries its own GLib, and GTK must run on the GLib it was loaded with:
// two copies share neither a main loop nor a type system. So the executable carries the window
// helper (download_app/window_helper.cpp), linked against the system's GTK 3, and starts it from
// an anonymous file (a /tmp mounted noexec does not matter); the controls send their calls over
// a socket. Where the helper cannot start or opens no display, the run goes on with the terminal
// window. The helper is a grandchild, so nobody waits for it, and it ends when the installer
// hangs up.

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "download_app/controls.h"
#include "download_app/translation.h"
#include "download_app/window_messages.h"
#include "host/files.h"
#include "host/system_log.h"

// The helper's file, made by the build, as bytes of this program.
asm(R"(
  .pushsection .rodata, "a"
  .balign 64
  .globl windowHelper
  .globl windowHelperEnd
  .hidden windowHelper
  .hidden windowHelperEnd
windowHelper:
  .incbin ")" WINDOW_HELPER R"("
windowHelperEnd:
  .popsection
)");
extern "C" const char windowHelper[];
extern "C" const char windowHelperEnd[];

namespace download_app {
namespace {

using K = WindowMessageKind;

// The installer's end of the socket: the window's controls send their calls on it.
struct Connection : WindowCalls, std::enable_shared_from_this<Connection> {
  explicit Connection(int fd) : socket(fd) {}
  ~Connection() override {
    if (watch != 0) g_source_remove(watch);
  }

  void call(const WindowMessage& message) override { sendWindowMessage(socket.get(), message); }
  void setAction(std::function<void()> pressed) override { action = std::move(pressed); }
  void close() override {
    if (markClosed()) call({K::Close, 0, 0, {}});
  }

  // The helper's events, on the application loop.
  static gboolean onHelper(gint fd, GIOCondition, gpointer data) {
    // The delegate or the action may let go of the controls: the connection outlives the call.
    std::shared_ptr<Connection> connection = static_cast<Connection*>(data)->shared_from_this();
    if (!connection->reader.readFrom(fd)) {
      connection->watch = 0;
      connection->markClosed();  // the window went with the helper
      return G_SOURCE_REMOVE;
    }
    while (std::optional<WindowMessage> message = connection->reader.next()) {
      if (message->kind == K::Pressed && connection->action) {
        std::function<void()> action = connection->action;  // it may replace itself
        action();
      } else if (message->kind == K::WillClose) {
        connection->markClosed();
      }
    }
    return G_SOURCE_CONTINUE;
  }

  host::FileDescriptor socket;
  WindowMessageReader reader;
  guint watch = 0;
  std::function<void()> action;
};

constexpr char kNotStarted[] = "The window helper could not be started";

// -1, once the system log says why the helper is not there.
int logged(const char* what, int error) {
  host::systemLog("%s", host::systemError(what, error).c_str());
  return -1;
}

// Starts the helper with `socket` as its standard input, and returns the reading end of its
// standard error until it has started (what the dynamic loader has to say about a missing
// GTK), for the caller to close; -1 when it could not be started. The intermediate process
// ends at once and is reaped here.
int startHelper(int socket) {
  host::FileDescriptor program(memfd_create("installer-window", MFD_CLOEXEC));
  std::string_view bytes(windowHelper, static_cast<size_t>(windowHelperEnd - windowHelper));
  if (program.get() < 0 || !host::writeAll(program.get(), bytes))
    return logged("The window helper could not be made", errno);
  std::string path = "/proc/self/fd/" + std::to_string(program.get());
  std::string catalogues = catalogueFolder().string();
  int complaints[2];
  if (pipe2(complaints, O_CLOEXEC) != 0) return logged(kNotStarted, errno);
  host::FileDescriptor writing(complaints[1]);
  pid_t intermediate = fork();
  if (intermediate == 0) {
    // Only async-signal-safe calls from here: the installer may have other threads.
    if (fork() != 0) _exit(0);
    int standardError = fcntl(STDERR_FILENO, F_DUPFD, 10);
    if (standardError < 0 || dup2(socket, STDIN_FILENO) < 0 ||
        dup2(writing.get(), STDERR_FILENO) < 0 || dup2(standardError, 3) < 0)
      _exit(127);
    const char* arguments[] = {"installer-window", catalogues.c_str(), nullptr};
    execv(path.c_str(), const_cast<char* const*>(arguments));
    _exit(127);
  }
  int error = errno;
  writing.reset();
  if (intermediate < 0) {
    close(complaints[0]);
    return logged(kNotStarted, error);
  }
  while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }
  return complaints[0];
}

// The first line the helper wrote before it started; by now the pipe is at its end.
std::string firstComplaint(int complaints) {
  std::string text;
  char buffer[512];
  ssize_t received;
  while (text.size() < 4096 && ((received = read(complaints, buffer, sizeof buffer)) > 0 ||
                                (received < 0 && errno == EINTR)))
    if (received > 0) text.append(buffer, static_cast<size_t>(received));
  text = text.substr(0, text.find('\n'));
  return text.empty() ? "its helper did not start" : text;
}

}  // namespace

std::optional<WindowControls> makeDesktopWindow() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    logged(kNotStarted, errno);
    return std::nullopt;
  }
  auto connection = std::make_shared<Connection>(ends[0]);
  host::FileDescriptor helperEnd(ends[1]);
  host::FileDescriptor complaints(startHelper(helperEnd.get()));
  if (complaints.get() < 0) return std::nullopt;
  helperEnd.reset();  // the helper's hang-up now reaches the installer
  // The helper's first message, waited for as the run would wait for GTK to load in process.
  std::optional<WindowMessage> first;
  while (!(first = connection->reader.next()) &&
         connection->reader.readFrom(connection->socket.get())) {
  }
  if (!first) {
    host::systemLog("The desktop window could not be loaded: %s",
                    firstComplaint(complaints.get()).c_str());
    return std::nullopt;
  }
  if (first->kind != K::Shown) return std::nullopt;  // no display: as in process, said nowhere
  connection->watch = g_unix_fd_add(connection->socket.get(),
                                    static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                    Connection::onHelper, connection.get());
  return WindowControls(connection);
}

}  // namespace download_app

// The desktop window of the portable installer, drawn by the window helper (window_helper.cpp),
// linked against the system's GTK 3: GTK must run on the GLib it was loaded with, and two copies
// share neither a main loop nor a type system. The helper starts from an anonymous file (a /tmp
// mounted noexec does not matter), and the window's calls go to it as messages over a socket.
// The installer never waits for it without an end: its first message must come within a few
// seconds, later ones are sent without blocking, and a helper that leaves what it was sent unread
// for a few seconds, or sends what no message is, is ended; the run goes on with the terminal
// window. The helper is a grandchild, so nobody waits for it; it ends when the installer hangs up.

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "download_app/desktop_window.h"
#include "download_app/translation.h"
#include "download_app/window_messages.h"
#include "host/files.h"
#include "host/loop_timer.h"

namespace download_app {
namespace {

using K = WindowMessageKind;
using Clock = std::chrono::steady_clock;

constexpr unsigned kCheckIntervalMs = 250;
constexpr size_t kLargestOutbox = 1 << 20;

// The helper: its socket, and the process to end should it not keep up.
struct Helper {
  // By its process descriptor where the kernel has them: its number may have gone to another.
  void end() {
    if (process.get() >= 0) {
      syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);
    } else if (pid > 0) {
      kill(pid, SIGKILL);
    }
    pid = -1;
    process.reset();
  }

  host::FileDescriptor socket;
  host::FileDescriptor process;  // a process descriptor, where the kernel has them
  pid_t pid = -1;
};

// The installer's side of the helper's window.
class HelperWindow : public DownloadWindow {
 public:
  HelperWindow(std::unique_ptr<Helper> helper, WindowEvents& events)
      : helper_(std::move(helper)), events_(events) {
    fcntl(helper_->socket.get(), F_SETFL, O_NONBLOCK);
    watch_ = g_unix_fd_add(helper_->socket.get(),
                           static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onHelper, this);
  }
  ~HelperWindow() override {
    g_clear_handle_id(&watch_, g_source_remove);
    // A helper that still has messages to read would keep its window: it goes now.
    if (behind()) helper_->end();
  }

  void progress(const Progress& bar) override { send({K::Progress, bar}); }
  void status(const Status& status) override { send({K::Status, {}, status}); }
  void failure(const Status& status) override { send({K::Failure, {}, status}); }
  void hide() override { send({K::Hide}); }
  void close() override { send({K::Close}); }

 private:
  void send(const WindowMessage& message) {
    if (given_up_) return;
    if (!check_.running()) {
      drained_ = Clock::now();
      check_.start(kCheckIntervalMs, onCheck, this);
    }
    outbox_ += encodeWindowMessage(message);
    flush();
  }

  // Writes what the socket takes; the rest waits for room.
  void flush() {
    while (!outbox_.empty()) {
      ssize_t sent = ::send(helper_->socket.get(), outbox_.data(), outbox_.size(),
                            MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno != EAGAIN) outbox_.clear();  // gone: its hang-up tells
      if (sent <= 0) return;
      outbox_.erase(0, static_cast<size_t>(sent));
    }
  }

  // Whether anything sent is unsent or unread.
  bool behind() const {
    int unread = 0;
    return !outbox_.empty() ||
           (ioctl(helper_->socket.get(), SIOCOUTQ, &unread) == 0 && unread > 0);
  }

  // Until the helper has read all it was sent; it must do so within the bound.
  static gboolean onCheck(gpointer self) {
    auto* window = static_cast<HelperWindow*>(self);
    window->flush();
    if (!window->behind()) {
      window->check_.stop();
      return G_SOURCE_REMOVE;
    }
    if (Clock::now() - window->drained_ < kBehind && window->outbox_.size() < kLargestOutbox)
      return G_SOURCE_CONTINUE;
    window->check_.stop();
    window->giveUp(WindowProblem::kHelperBehind);
    return G_SOURCE_REMOVE;
  }

  // Ends the helper; the events' owner then lets go of this window.
  void giveUp(WindowProblem cause) {
    given_up_ = true;
    helper_->end();
    events_.lost(cause);
  }

  // The helper's events, on the application loop.
  static gboolean onHelper(gint fd, GIOCondition, gpointer self) {
    auto* window = static_cast<HelperWindow*>(self);
    if (!window->reader_.readFrom(fd)) {
      window->watch_ = 0;
      window->events_.closed();  // the window went with the helper
      return G_SOURCE_REMOVE;
    }
    while (std::optional<WindowMessage> message = window->reader_.next()) {
      if (message->kind == K::Pressed) window->events_.pressed();
      if (message->kind == K::Closed) window->events_.closed();
    }
    if (!window->reader_.broken()) return G_SOURCE_CONTINUE;
    window->watch_ = 0;
    window->giveUp(WindowProblem::kHelperNoise);
    return G_SOURCE_REMOVE;
  }

  std::unique_ptr<Helper> helper_;
  WindowEvents& events_;
  WindowMessageReader reader_;
  std::string outbox_;
  Clock::time_point drained_;  // the last time the helper had read all
  host::LoopTimer check_;
  guint watch_ = 0;
  bool given_up_ = false;
};

// Starts the helper, with its arguments after its name and one end of a new socket (the other in
// `helper`) as its standard input; false (errno says why) when it could not be. `complaints`
// gets the reading end of its standard error until it has started (what the dynamic loader has
// to say about a missing GTK). The intermediate process ends at once and is reaped here.
bool startHelper(const std::vector<std::string>& arguments, Helper& helper,
                 host::FileDescriptor& complaints) {
  int ends[2], errors[2], pids[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  helper.socket.reset(ends[0]);
  host::FileDescriptor helperEnd(ends[1]);  // ours goes on return: the helper's hang-up tells
  host::FileDescriptor program(carriedDesktopWindowFile());
  if (program.get() < 0 || pipe2(errors, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  complaints.reset(errors[0]);
  host::FileDescriptor writing(errors[1]);
  if (pipe2(pids, O_CLOEXEC) != 0) return false;
  host::FileDescriptor pidRead(pids[0]), pidWrite(pids[1]);
  std::string path = "/proc/self/fd/" + std::to_string(program.get());
  std::vector<const char*> argv = {"installer-window"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  pid_t intermediate = fork();
  if (intermediate == 0) {
    // Only async-signal-safe calls from here: the installer may have other threads.
    if (pid_t grandchild = fork(); grandchild != 0) {
      (void)!write(pidWrite.get(), &grandchild, sizeof grandchild);
      _exit(0);
    }
    int standardError = fcntl(STDERR_FILENO, F_DUPFD, 10);
    if (standardError < 0 || dup2(helperEnd.get(), STDIN_FILENO) < 0 ||
        dup2(writing.get(), STDERR_FILENO) < 0 || dup2(standardError, 3) < 0)
      _exit(127);
    execv(path.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  if (intermediate < 0) return false;
  pidWrite.reset();
  while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (read(pidRead.get(), &helper.pid, sizeof helper.pid) != sizeof helper.pid || helper.pid <= 0)
    return false;
  helper.process.reset(static_cast<int>(syscall(SYS_pidfd_open, helper.pid, 0)));
  return true;
}

// The first line the helper wrote before it started, when it did.
std::string firstComplaint(int complaints) {
  char buffer[4096];
  ssize_t received = read(complaints, buffer, sizeof buffer);
  std::string text(buffer, received > 0 ? static_cast<size_t>(received) : 0);
  return text.substr(0, text.find('\n'));
}

// The helper's first message, read within the bound; nothing, with `problem` saying why, when
// none came.
std::optional<WindowMessage> firstMessage(Helper& helper, int complaints, WindowStatus& problem) {
  WindowMessageReader reader;
  auto deadline = Clock::now() + kFirstMessage;
  for (;;) {
    if (std::optional<WindowMessage> first = reader.next()) return first;
    if (reader.broken()) {
      problem = WindowProblem::kHelperNoise;
      return std::nullopt;
    }
    Wait wait = waitForReady(helper.socket.get(), POLLIN, deadline);
    if (wait == Wait::kReady && reader.readFrom(helper.socket.get())) continue;
    problem = wait == Wait::kTimedOut ? WindowProblem::kHelperSilent
              : wait == Wait::kInterrupted
                  ? WindowStatus(WindowProblem::kTerminated)
                  : WindowStatus(WindowProblem::kHelperComplained, firstComplaint(complaints));
    return std::nullopt;
  }
}

}  // namespace

std::unique_ptr<DownloadWindow> openDesktopWindow(const std::optional<Image>& splash,
                                                  WindowEvents& events, WindowStatus& problem) {
  auto helper = std::make_unique<Helper>();
  host::FileDescriptor complaints;
  std::vector<std::string> arguments = {catalogueFolder().string()};
  if (splash)
    arguments.insert(arguments.end(), {splash->path, std::to_string(splash->width),
                                       std::to_string(splash->height)});
  if (!startHelper(arguments, *helper, complaints)) {
    problem = {WindowProblem::kHelperUnstarted, "", errno};
    return nullptr;
  }
  std::optional<WindowMessage> first = firstMessage(*helper, complaints.get(), problem);
  if (first && first->kind == K::Shown)
    return std::make_unique<HelperWindow>(std::move(helper), events);
  if (first)
    problem =
        first->kind == K::NoDisplay ? WindowProblem::kNoDisplay : WindowProblem::kHelperMisspoke;
  helper->end();
  return nullptr;
}

}  // namespace download_app

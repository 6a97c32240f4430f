// The desktop window, loaded when it is shown, on a display that answers. GTK and its hundred
// libraries take longer to load than a cached run takes to start its agent: the executable
// carries the window's file (desktop_window.h) and uses it only when a display is named. Toolkits
// wait for their display's first answer without a time limit, and a display can accept and never
// answer (a frozen X server or Xwayland, an ssh -X forward whose far end is gone): so the display
// is asked first, as GDK would open it, and one that does not answer within a few seconds counts
// as one that does not open. Every road to the terminal window from here is logged.

#include "download_app/desktop_window.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "download_app/failures.h"
#include "host/files.h"
#include "host/system_log.h"
#include "host/termination.h"

// The road's file, made by the build, as bytes of this program.
asm(R"(
  .pushsection .rodata, "a"
  .balign 64
  .globl desktopWindowFile
  .globl desktopWindowFileEnd
  .hidden desktopWindowFile
  .hidden desktopWindowFileEnd
desktopWindowFile:
  .incbin ")" DESKTOP_WINDOW_FILE R"("
desktopWindowFileEnd:
  .popsection
)");
extern "C" const char desktopWindowFile[];
extern "C" const char desktopWindowFileEnd[];

namespace download_app {
namespace {

constexpr int kWaitSliceMs = 50;  // how soon a termination signal ends a wait

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// A display's socket addresses and the request its server answers first.
struct Display {
  std::string name;  // for messages
  std::vector<Address> addresses;
  std::string request;
};

// An abstract name is as long as it is: padded with zeros it would name another socket.
Address unixAddress(const std::string& path, bool abstract) {
  Address address;
  auto* un = reinterpret_cast<sockaddr_un*>(&address.storage);
  un->sun_family = AF_UNIX;
  size_t copied = path.copy(un->sun_path + (abstract ? 1 : 0), sizeof un->sun_path - 2);
  address.length = abstract ? offsetof(sockaddr_un, sun_path) + 1 + copied : sizeof(sockaddr_un);
  return address;
}

// The Wayland display GDK would try first: WAYLAND_DISPLAY, or "wayland-0", in the runtime
// directory. Its first answer is that to a wl_display.sync.
std::optional<Display> waylandDisplay() {
  std::string name = environment("WAYLAND_DISPLAY"), runtime = environment("XDG_RUNTIME_DIR");
  if (!environment("WAYLAND_SOCKET").empty() || (runtime.empty() && name.rfind('/', 0) != 0))
    return std::nullopt;
  if (name.empty()) name = "wayland-0";
  uint32_t sync[] = {1, 12 << 16, 2};  // object 1, size 12 and opcode 0, the callback's id
  return Display{"the Wayland display " + name,
                 {unixAddress(name[0] == '/' ? name : runtime + "/" + name, false)},
                 std::string(reinterpret_cast<const char*>(sync), sizeof sync)};
}

// The X display in DISPLAY ("[protocol/][host]:number[.screen]"), as Xlib reaches it: a local
// one by its abstract and its file socket, "localhost" or a numeric host by TCP. Its first
// answer is that to a connection setup (a refusal for want of a cookie answers as well).
std::optional<Display> xDisplay() {
  std::string name = environment("DISPLAY");
  size_t colon = name.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string host = name.substr(0, colon), protocol;
  if (size_t slash = host.find('/'); slash != std::string::npos) {
    protocol = host.substr(0, slash);
    host = host.substr(slash + 1);
  }
  int number = std::atoi(name.c_str() + colon + 1);
  Display display{"the display " + name, {}, std::string("l\0\x0b\0\0\0\0\0\0\0\0\0", 12)};
  if (host.empty() || host == "unix" || protocol == "unix") {
    std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    display.addresses = {unixAddress(path, true), unixAddress(path, false)};
    return display;
  }
  Address address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (host == "localhost" || inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    if (host == "localhost") v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<uint16_t>(6000 + number));
    address.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(6000 + number));
    address.length = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;  // a named host: left to Xlib, which must ask for its address anyway
  }
  display.addresses = {address};
  return display;
}

// A connection to the first of `display`'s addresses that takes one; -1 (with errno) when none.
int connectTo(const Display& display) {
  for (const Address& address : display.addresses) {
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0 ||
        errno == EINPROGRESS)
      return fd;
    int error = errno;
    close(fd);
    errno = error;
  }
  return -1;
}

// Whether `display` answers its first request in time: nothing when it does, why not otherwise;
// the connection stays in `connection`. A hang-up is asked again once: an X server resets when
// its last client leaves, and hangs up unanswered on one that came meanwhile.
WindowStatus unanswered(const Display& display, host::FileDescriptor& connection) {
  auto deadline = std::chrono::steady_clock::now() + kDisplayAnswer;
  for (int asked = 1;; ++asked) {
    connection.reset(connectTo(display));
    if (connection.get() < 0) return {WindowProblem::kDisplayUnreachable, display.name, errno};
    Wait wait = waitForReady(connection.get(), POLLOUT, deadline);
    if (wait == Wait::kReady) {
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(connection.get(), SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) return {WindowProblem::kDisplayUnreachable, display.name, error};
      // A server that refuses may answer and hang up before the request is in.
      (void)send(connection.get(), display.request.data(), display.request.size(), MSG_NOSIGNAL);
      wait = waitForReady(connection.get(), POLLIN, deadline);
    }
    if (wait == Wait::kInterrupted) return WindowProblem::kTerminated;
    if (wait == Wait::kTimedOut) return {WindowProblem::kDisplaySilent, display.name};
    char byte;
    if (recv(connection.get(), &byte, 1, 0) == 1) return {};
    if (asked == 2) return {WindowProblem::kDisplayHungUp, display.name};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Nothing when the display that GDK would open answers; why not otherwise. The answered
// connection stays in `connection`: while it is open, the server has a client and no reason to
// reset before the window's own connection is made.
WindowStatus displayProblem(host::FileDescriptor& connection) {
  WindowStatus problem;
  if (std::optional<Display> wayland = waylandDisplay()) {
    problem = unanswered(*wayland, connection);
    // GDK goes on to X11 only when no Wayland display is there.
    if (problem.ok() || problem.code() != WindowProblem::kDisplayUnreachable) return problem;
  }
  if (std::optional<Display> x = xDisplay()) return unanswered(*x, connection);
  return problem;
}

}  // namespace

int carriedDesktopWindowFile() {
  int file = memfd_create("installer-desktop-window", MFD_CLOEXEC);
  std::string_view bytes(desktopWindowFile,
                         static_cast<size_t>(desktopWindowFileEnd - desktopWindowFile));
  if (file >= 0 && !host::writeAll(file, bytes)) {
    int error = errno;
    close(file);
    errno = error;
    return -1;
  }
  return file;
}

Wait waitForReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (host::terminationSignal() != 0) return Wait::kInterrupted;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Wait::kTimedOut;
    pollfd ready{fd, events, 0};
    int count = poll(&ready, 1, static_cast<int>(std::min<long>(left.count(), kWaitSliceMs)));
    if (count > 0) return Wait::kReady;
  }
}

std::unique_ptr<DownloadWindow> makeDesktopWindow(const std::optional<Image>& splash,
                                                  WindowEvents& events) {
  if (environment("DISPLAY").empty() && environment("WAYLAND_DISPLAY").empty()) return nullptr;
  host::FileDescriptor probe;
  WindowStatus problem = displayProblem(probe);
  std::unique_ptr<DownloadWindow> window;
  if (problem.ok()) window = openDesktopWindow(splash, events, problem);
  if (!window) host::systemLog("%s", windowNotLoadedNote(problem).c_str());
  return window;
}

}  // namespace download_app

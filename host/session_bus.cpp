#include "host/session_bus.h"

#include <errno.h>
#include <glib.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "host/files.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHelloSerial = 1, kCallSerial = 2;
constexpr size_t kLongestAuthLine = 512;
// How long a connection that the bus's full backlog turned away waits before it tries again.
constexpr std::chrono::milliseconds kRetryPause{5};

// `value` with its %-escapes decoded; nothing when one is not two hexadecimal digits.
std::optional<std::string> unescaped(std::string_view value) {
  g_autoptr(GBytes) bytes =
      g_uri_unescape_bytes(value.data(), static_cast<gssize>(value.size()), nullptr, nullptr);
  if (!bytes) return std::nullopt;
  gsize size = 0;
  const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  return std::string(text, size);
}

// A socket that a bus address names: a path, or an abstract socket's name (without its NUL).
struct BusSocket {
  std::string name;
  bool abstract = false;
};

// The sockets of `address` ("unix:path=/run/user/1000/bus;unix:abstract=/tmp/dbus-x,guid=…"), in
// its order, their %-escapes decoded; entries of other transports or unreadable ones are skipped.
std::vector<BusSocket> busSockets(const std::string& address) {
  std::vector<BusSocket> sockets;
  g_auto(GStrv) entries = g_strsplit(address.c_str(), ";", -1);
  for (gchar** entry = entries; *entry != nullptr; ++entry) {
    if (!g_str_has_prefix(*entry, "unix:")) continue;
    std::optional<BusSocket> socket;
    bool readable = true;
    g_auto(GStrv) pairs = g_strsplit(*entry + 5, ",", -1);
    for (gchar** each = pairs; *each != nullptr; ++each) {
      const std::string_view pair = *each;
      const size_t equals = pair.find('=');
      std::optional<std::string> value =
          equals == std::string_view::npos ? std::nullopt : unescaped(pair.substr(equals + 1));
      readable = readable && value.has_value();
      const std::string_view key = pair.substr(0, equals);
      if (value && (key == "path" || key == "abstract"))
        socket = BusSocket{std::move(*value), key == "abstract"};
    }
    if (readable && socket && !socket->name.empty()) sockets.push_back(std::move(*socket));
  }
  return sockets;
}

// The connection for one call: its socket, deadline, cancel descriptor and bytes not yet taken.
// Each step gives back what ended the call, or nothing while it goes on.
class Connection {
 public:
  Connection(Clock::time_point deadline, int cancelled)
      : deadline_(deadline), cancelled_(cancelled) {}

  std::optional<BusOutcome> open(const BusSocket& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t at = socket.abstract ? 1 : 0;  // an abstract name follows a NUL
    if (at + socket.name.size() >= sizeof address.sun_path) return BusOutcome::kNoBus;
    memcpy(address.sun_path + at, socket.name.data(), socket.name.size());
    // A path and its NUL, or the NUL and an abstract name, which is taken by its length alone.
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket.name.size() + 1);
    socket_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket_.get() < 0) return BusOutcome::kNoBus;
    while (connect(socket_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
      if (errno == EISCONN) break;  // connected while a signal interrupted the call
      if (errno != EAGAIN && errno != EINTR) return BusOutcome::kNoBus;
      if (std::optional<BusOutcome> ending = wait(0)) return ending;
    }
    return std::nullopt;
  }

  // The user's credentials are the socket's, which the kernel gives the bus; the user's number
  // is sent as its decimal digits in hexadecimal.
  std::optional<BusOutcome> authenticate() {
    std::string request("\0AUTH EXTERNAL ", 15);
    for (char digit : std::to_string(getuid())) request += {'3', digit};
    if (std::optional<BusOutcome> ending = send(request + "\r\n")) return ending;
    size_t end;
    while ((end = received_.find("\r\n")) == std::string::npos) {
      if (received_.size() > kLongestAuthLine) return BusOutcome::kNoBus;
      if (std::optional<BusOutcome> ending = receive())
        return ending == BusOutcome::kClosed ? BusOutcome::kNoBus : ending;
    }
    const bool accepted = received_.starts_with("OK ");
    received_.erase(0, end + 2);
    return accepted ? std::nullopt : std::optional(BusOutcome::kNoBus);
  }

  std::optional<BusOutcome> send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent > 0) bytes.remove_prefix(static_cast<size_t>(sent));
      if (sent >= 0 || errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return BusOutcome::kClosed;
      if (std::optional<BusOutcome> ending = wait(POLLOUT)) return ending;
    }
    return std::nullopt;
  }

  // The reply to the call numbered `serial`, once it has come whole.
  BusReply reply(uint32_t serial) {
    for (;;) {
      const std::optional<size_t> length = busMessageLength(received_);
      if (!length) return {BusOutcome::kGarbage, {}};
      if (*length == 0 || received_.size() < *length) {
        if (std::optional<BusOutcome> ending = receive()) return {*ending, {}};
        continue;
      }
      std::optional<BusMessage> message =
          parseBusMessage(std::string_view(received_).substr(0, *length));
      if (!message) return {BusOutcome::kGarbage, {}};
      received_.erase(0, *length);
      const bool answer =
          message->type == BusMessageType::kMethodReturn || message->type == BusMessageType::kError;
      if (answer && message->replySerial == serial)
        return {BusOutcome::kReplied, std::move(*message)};
    }
  }

 private:
  // Reads what has come, waiting for a byte at least.
  std::optional<BusOutcome> receive() {
    for (;;) {
      char bytes[4096];
      const ssize_t got = recv(socket_.get(), bytes, sizeof bytes, 0);
      if (got > 0) {
        received_.append(bytes, static_cast<size_t>(got));
        return std::nullopt;
      }
      if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
        return BusOutcome::kClosed;
      if (std::optional<BusOutcome> ending = wait(POLLIN)) return ending;
    }
  }

  // Waits until the socket is ready for `events`, or, for none, a short pause.
  std::optional<BusOutcome> wait(short events) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
      if (left.count() <= 0) return BusOutcome::kTimedOut;
      pollfd waits[] = {{events ? socket_.get() : -1, events, 0}, {cancelled_, POLLIN, 0}};
      const auto limit = events != 0 ? left : std::min(left, kRetryPause);
      const int ready = poll(waits, 2, static_cast<int>(limit.count()));
      if (ready < 0 && errno != EINTR) return BusOutcome::kClosed;
      if (waits[1].revents != 0) return BusOutcome::kCancelled;
      if (waits[0].revents != 0 || (ready == 0 && events == 0)) return std::nullopt;
    }
  }

  const Clock::time_point deadline_;
  const int cancelled_;
  FileDescriptor socket_;
  std::string received_;
};

}  // namespace

BusReply callSessionBus(std::string_view address, const BusCall& call,
                        std::chrono::steady_clock::time_point deadline, int cancelled) {
  static const BusCall kHello{"org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "Hello", std::nullopt};
  const std::optional<std::string> hello = marshalCall(kHello, kHelloSerial);
  const std::optional<std::string> asked = marshalCall(call, kCallSerial);
  if (!asked) return {BusOutcome::kNoBus, {}};
  Connection connection(deadline, cancelled);
  std::optional<BusOutcome> ending = BusOutcome::kNoBus;
  for (const BusSocket& socket : busSockets(std::string(address)))
    if ((ending = connection.open(socket)) != BusOutcome::kNoBus) break;
  if (!ending) ending = connection.authenticate();
  // The bus takes the messages that follow BEGIN at once, the calls after Hello in their order.
  if (!ending) ending = connection.send("BEGIN\r\n" + *hello + *asked);
  if (ending) return {*ending, {}};
  return connection.reply(kCallSerial);
}

}  // namespace host

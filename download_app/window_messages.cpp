#include "download_app/window_messages.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace download_app {
namespace {

// A status text with a path in it fits many times over; noise on the socket does not.
constexpr uint32_t kLongestText = 16384;

enum Flag : uint8_t { kIndeterminate = 1, kCountsBytes = 2, kButtonEnabled = 4 };

struct Header {
  WindowMessageKind kind;
  uint8_t flags;
  uint32_t textLength;
  uint32_t buttonLength;
  double value;
  double maximum;
};

}  // namespace

std::string encodeWindowMessage(const WindowMessage& m) {
  Header header{m.kind,
                static_cast<uint8_t>((m.progress.indeterminate ? kIndeterminate : 0) |
                                     (m.progress.countsBytes ? kCountsBytes : 0) |
                                     (m.status.buttonEnabled ? kButtonEnabled : 0)),
                static_cast<uint32_t>(m.status.text.size()),
                static_cast<uint32_t>(m.status.button.size()),
                m.progress.value,
                m.progress.maximum};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + m.status.text +
         m.status.button;
}

void sendWindowMessage(int fd, const WindowMessage& message) {
  std::string bytes = encodeWindowMessage(message);
  for (size_t sent = 0; sent < bytes.size();) {
    // MSG_NOSIGNAL: a peer that has gone must not end this process with SIGPIPE.
    ssize_t written = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    sent += static_cast<size_t>(written);
  }
}

void deliverWindowMessage(const WindowMessage& m, DownloadWindow& window) {
  using K = WindowMessageKind;
  switch (m.kind) {
    case K::Progress:
      return window.progress(m.progress);
    case K::Status:
      return window.status(m.status);
    case K::Failure:
      return window.failure(m.status);
    case K::Hide:
      return window.hide();
    case K::Close:
      return window.close();
    default:
      return;
  }
}

bool WindowMessageReader::readFrom(int fd) {
  char bytes[16384];
  ssize_t received = read(fd, bytes, sizeof bytes);
  if (received < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (received <= 0) return false;
  buffer_.append(bytes, static_cast<size_t>(received));
  return true;
}

std::optional<WindowMessage> WindowMessageReader::next() {
  Header header;
  if (broken_ || buffer_.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, buffer_.data(), sizeof header);
  broken_ = header.kind > WindowMessageKind::Closed || header.textLength > kLongestText ||
            header.buttonLength > kLongestText;
  size_t length = sizeof header + header.textLength + header.buttonLength;
  if (broken_ || buffer_.size() < length) return std::nullopt;
  WindowMessage message{header.kind,
                        {header.value, header.maximum, (header.flags & kIndeterminate) != 0,
                         (header.flags & kCountsBytes) != 0},
                        {buffer_.substr(sizeof header, header.textLength),
                         buffer_.substr(sizeof header + header.textLength, header.buttonLength),
                         (header.flags & kButtonEnabled) != 0}};
  buffer_.erase(0, length);
  return message;
}

}  // namespace download_app

#include "download_app/window_messages.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace download_app {
namespace {

struct Header {
  WindowMessageKind kind;
  double number;
  double secondNumber;
  uint32_t textLength;
};

}  // namespace

void sendWindowMessage(int fd, const WindowMessage& message) {
  Header header{message.kind, message.number, message.secondNumber,
                static_cast<uint32_t>(message.text.size())};
  std::string bytes =
      std::string(reinterpret_cast<const char*>(&header), sizeof header) + message.text;
  for (size_t sent = 0; sent < bytes.size();) {
    // MSG_NOSIGNAL: a peer that has gone must not end this process with SIGPIPE.
    ssize_t written = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    sent += static_cast<size_t>(written);
  }
}

bool WindowMessageReader::readFrom(int fd) {
  char bytes[16384];
  ssize_t received = read(fd, bytes, sizeof bytes);
  if (received < 0 && errno == EINTR) return true;
  if (received <= 0) return false;
  buffer_.append(bytes, static_cast<size_t>(received));
  return true;
}

std::optional<WindowMessage> WindowMessageReader::next() {
  Header header;
  if (buffer_.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, buffer_.data(), sizeof header);
  if (buffer_.size() < sizeof header + header.textLength) return std::nullopt;
  WindowMessage message{header.kind, header.number, header.secondNumber,
                        buffer_.substr(sizeof header, header.textLength)};
  buffer_.erase(0, sizeof header + header.textLength);
  return message;
}

}  // namespace download_app

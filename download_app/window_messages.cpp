#include "download_app/window_messages.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace download_app {
namespace {

// A status text with a path in it fits many times over; noise on the socket does not.
constexpr uint32_t kLongestText = 16384;

// The flags as bytes, never read as bools: noise on the socket may hold any value.
struct Header {
  WindowMessageKind kind;
  uint8_t indeterminate, countsBytes, buttonEnabled;
  uint32_t textLength;
  uint32_t buttonLength;
  double value;
  double maximum;
};

}  // namespace

std::string encodeWindowMessage(const WindowMessage& m) {
  Header header{m.kind,
                m.progress.indeterminate,
                m.progress.countsBytes,
                m.status.buttonEnabled,
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
  if (m.kind == K::Progress) window.progress(m.progress);
  if (m.kind == K::Status) window.status(m.status);
  if (m.kind == K::Failure) window.failure(m.status);
  if (m.kind == K::Hide) window.hide();
  if (m.kind == K::Close) window.close();
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
  WindowMessage message{
      header.kind,
      {header.value, header.maximum, header.indeterminate != 0, header.countsBytes != 0},
      {buffer_.substr(sizeof header, header.textLength),
       buffer_.substr(sizeof header + header.textLength, header.buttonLength),
       header.buttonEnabled != 0}};
  buffer_.erase(0, length);
  return message;
}

}  // namespace download_app

#include "download_app/window_messages.h"

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

std::string encodeWindowMessage(const WindowMessage& message) {
  Header header{message.kind, message.number, message.secondNumber,
                static_cast<uint32_t>(message.text.size())};
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
  return bytes + message.text;
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

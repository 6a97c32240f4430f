// The session bus's messages as bytes (host/session_bus.h): a method call with at most one string
// argument, made in the bus's little-endian form, and a message from the bus, checked whole before
// anything in it is used, since the bytes come from other programs. For any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The largest message the installer reads; a bigger one is no answer it could use.
constexpr size_t kMaxBusMessage = 1 << 20;

enum class BusMessageType : uint8_t { kMethodCall = 1, kMethodReturn = 2, kError = 3, kSignal = 4 };

struct BusCall {
  std::string destination, path, interface, member;
  std::optional<std::string> argument;  // the one string argument, if any
};

// `call` as the bus takes it, numbered `serial` (not 0), with flags 0, so that the bus starts
// the destination's service when it is not running yet. Nothing when one of its names or its
// argument holds a NUL or is not valid UTF-8: the bus would close the connection over it.
std::optional<std::string> marshalCall(const BusCall& call, uint32_t serial);

// What the installer reads of a message from the bus.
struct BusMessage {
  BusMessageType type = BusMessageType::kMethodCall;
  bool bigEndian = false;
  uint32_t serial = 0;
  std::optional<uint32_t> replySerial;  // a reply's: the serial of the call it answers
  std::string errorName;                // an error's
  std::string signature;                // the body's types ("" for none)
  std::string body;  // as sent, starting at an offset of 8 bytes' alignment in the message
};

// The length of the message that `bytes` begin with, as its first 16 bytes say: 0 while fewer
// have come; nothing for an unknown byte order or version, or a length over kMaxBusMessage.
std::optional<size_t> busMessageLength(std::string_view bytes);

// The message that is exactly `bytes`; nothing unless every length in it stays within the
// message, its padding is zero, its strings end with a NUL, hold no other and are valid UTF-8,
// and a reply or an error has the header fields it needs.
std::optional<BusMessage> parseBusMessage(std::string_view bytes);

// The body of signature "as" as its strings; nothing for any other body.
std::optional<std::vector<std::string>> bodyStringList(const BusMessage& message);

// The body's first string (an error's explanation, a call's argument), or "".
std::string bodyLeadingString(const BusMessage& message);

}  // namespace host

// What the session bus sends the installer after it has authenticated (host/bus_message.h), read
// as the session bus client reads it (host/session_bus.cpp): message after message, each taken
// whole by its length, until one is not a message. A message read gives what its bytes hold
// and no more: a list of strings is exactly the body it came in, each string valid UTF-8
// without a NUL. And a call made with the input as its argument reads back as that call. The
// seeds are what a real bus and desktop portal sent: the Hello's reply, NameAcquired, the
// portal's lists of proxies and the bus's errors.
#include <glib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "host/bus_message.h"

namespace {

// `strings` as a body of signature "as" in `bigEndian` or little-endian order.
std::string stringListBody(const std::vector<std::string>& strings, bool bigEndian) {
  std::string body;
  auto numberAt = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
      body[at + i] = static_cast<char>(value >> (bigEndian ? 24 - 8 * i : 8 * i));
  };
  body.resize(4);  // the array's length, once its strings are in
  for (const std::string& text : strings) {
    body.resize((body.size() + 3) / 4 * 4 + 4, '\0');
    numberAt(body.size() - 4, static_cast<uint32_t>(text.size()));
    body += text;
    body += '\0';
  }
  numberAt(0, static_cast<uint32_t>(body.size() - 4));
  return body;
}

void checkCallReadsBack(std::string_view argument) {
  const host::BusCall call{"org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                           "org.freedesktop.portal.ProxyResolver", "Lookup", std::string(argument)};
  const std::optional<std::string> bytes = host::marshalCall(call, 7);
  const bool valid =
      g_utf8_validate(argument.data(), static_cast<gssize>(argument.size()), nullptr);
  FUZZ_CHECK(bytes.has_value() == valid);
  if (!bytes) return;
  FUZZ_CHECK(host::busMessageLength(*bytes) == bytes->size());
  const std::optional<host::BusMessage> message = host::parseBusMessage(*bytes);
  FUZZ_CHECK(message && message->type == host::BusMessageType::kMethodCall);
  FUZZ_CHECK(message->serial == 7 && message->signature == "s" && !message->replySerial);
  FUZZ_CHECK(host::bodyLeadingString(*message) == argument);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view stream = fuzz::textOf(data, size);
  for (;;) {
    const std::optional<size_t> length = host::busMessageLength(stream);
    if (!length || *length == 0 || *length > stream.size()) break;
    FUZZ_CHECK(*length <= host::kMaxBusMessage && *length >= 16);
    const std::optional<host::BusMessage> message =
        host::parseBusMessage(stream.substr(0, *length));
    if (!message) break;
    FUZZ_CHECK(message->serial != 0 && message->body.size() <= *length - 16);
    if (message->type == host::BusMessageType::kError) FUZZ_CHECK(!message->errorName.empty());
    if (std::optional<std::vector<std::string>> strings = host::bodyStringList(*message)) {
      FUZZ_CHECK(stringListBody(*strings, message->bigEndian) == message->body);
      for (const std::string& text : *strings)
        FUZZ_CHECK(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr));
    }
    stream.remove_prefix(*length);
  }
  checkCallReadsBack(fuzz::textOf(data, size));
  return 0;
}

// The reply to the installer's question as it reads it off the session bus (host/bus_message.h):
// the bytes that a real bus and desktop portal sent (the fuzz target's seeds, in
// fuzz/corpus/bus_reply/), each changed as a broken or hostile bus might change them. The
// exchange itself, with a real bus and portal, is in the fault matrix's rows of the desktop's
// proxy (tests/reliability/fault_matrix_test.cpp).
#include "host/bus_message.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

// The last message of the seed `name`: the reply to the installer's call.
std::string reply(const std::string& name) {
  std::string stream =
      testsupport::readFile(std::string(INSTALLER_SOURCE_DIR) + "/fuzz/corpus/bus_reply/" + name);
  while (host::busMessageLength(stream).value_or(0) < stream.size())
    stream.erase(0, *host::busMessageLength(stream));
  return stream;
}

// `bytes` with the byte at `at` (from the end, when negative) made `to`.
std::string changed(std::string bytes, long at, char to) {
  bytes[at < 0 ? bytes.size() + at : at] = to;
  return bytes;
}

TEST(BusMessage, ReadsAReplyWhollyWithinItsLengthsOrNotAtAll) {
  const std::string list = reply("pac_list"), error = reply("service_unknown");
  const long body = static_cast<long>(list.size() - 150);  // its body's 150 bytes
  const long signature =
      static_cast<long>(list.find(std::string("\x02"
                                              "as\0",
                                              4)));
  struct Row {
    const char* name;
    std::string bytes;
    bool parses;
    std::optional<std::vector<std::string>> proxies;
  } rows[] = {
      {"the portal's list",
       list,
       true,
       {{"http://proxy.example:3128", "socks5://socks.example:1080", "socks4a://socks.example:1080",
         "socks4://socks.example:1080", "direct://"}}},
      {"a byte short", list.substr(0, list.size() - 1), false, {}},
      {"a byte over", list + '\0', false, {}},
      {"a list of other things", changed(list, signature + 2, 'y'), true, {}},
      {"a signature without its NUL", changed(list, signature + 3, 's'), false, {}},
      {"the array longer than the body", changed(list, body, '\x93'), true, {}},
      {"the array shorter than its strings", changed(list, body, '\x91'), true, {}},
      {"a string past the array's end", changed(list, -14, '\x0a'), true, {}},
      {"a string without its NUL", changed(list, -1, 'x'), true, {}},
      {"a NUL in a string", changed(list, body + 10, '\0'), true, {}},
      {"a string that is not UTF-8", changed(list, body + 10, '\xc3'), true, {}},
      {"padding that is not zero", changed(list, body + 35, 'x'), true, {}},
      {"header padding that is not zero", changed(list, body - 1, 'x'), false, {}},
      {"a header field past the fields' end", changed(list, 20, '\x40'), false, {}},
      {"the reply serial as a string", changed(list, signature + 6, 's'), false, {}},
      {"the bus's error", error, true, {}},
      {"an error without its name", changed(error, 32, '\x07'), false, {}},
      {"another byte order's mark", changed(list, 0, 'b'), false, {}},
      {"a message of over a MiB", changed(list, 6, '\x10'), false, {}},
  };
  for (const Row& row : rows) {
    std::optional<host::BusMessage> message = host::parseBusMessage(row.bytes);
    EXPECT_EQ(message.has_value(), row.parses) << row.name;
    if (message) {
      EXPECT_EQ(host::bodyStringList(*message), row.proxies) << row.name;
    }
  }
  std::optional<host::BusMessage> refusal = host::parseBusMessage(error);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->type, host::BusMessageType::kError);
  EXPECT_EQ(refusal->errorName, "org.freedesktop.DBus.Error.ServiceUnknown");
  EXPECT_EQ(refusal->replySerial, 2u);
}

}  // namespace

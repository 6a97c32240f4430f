// The check that guards If-None-Match (host/attempt_plan.h `isEntityTag`): a tag it lets into
// a request is a quoted tag, weak or strong, that cannot end or split the header line.
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "host/attempt_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view tag = fuzz::textOf(data, size);
  if (!host::isEntityTag(tag)) return 0;
  std::string_view opaque = tag.starts_with("W/") ? tag.substr(2) : tag;
  FUZZ_CHECK(opaque.size() >= 2 && opaque.front() == '"' && opaque.back() == '"');
  FUZZ_CHECK(opaque.size() <= 1024);
  for (char c : opaque.substr(1, opaque.size() - 2))
    FUZZ_CHECK(c != '"' && c != '\r' && c != '\n' && c != '\0');
  return 0;
}

// The bundle's public key file as the installer reads it (provisioning/signature.h
// `parseSigningKey`): a key, or a reason why there is none, never both.
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "provisioning/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  std::optional<SigningKey> key = parseSigningKey(std::string(fuzz::textOf(data, size)), &problem);
  FUZZ_CHECK(key.has_value() == problem.empty());
  if (key) FUZZ_CHECK(keyIdText(key->id).size() == 16);
  return 0;
}

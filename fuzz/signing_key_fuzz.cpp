// The bundle's public key file as the installer reads it (provisioning/signature.h
// `parseSigningKeys`): keys, or a reason why there are none, never both.
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "provisioning/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  SigningKeys keys = parseSigningKeys(std::string(fuzz::textOf(data, size)), &problem);
  FUZZ_CHECK(keys.empty() != problem.empty());
  for (const SigningKey& key : keys) FUZZ_CHECK(keyIdText(key.id).size() == 16);
  return 0;
}

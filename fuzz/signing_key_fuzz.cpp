// The bundle's public key file as the installer reads it (provisioning/signed_archive.h
// `parseSigningKeys`): keys, or a reason why there are none, never both.
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "provisioning/signed_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SigningKeys keys;
  KeyFileStatus status = parseSigningKeys(std::string(fuzz::textOf(data, size)), &keys);
  FUZZ_CHECK(keys.empty() != status.ok());
  for (const SigningKey& key : keys) FUZZ_CHECK(keyIdText(key.id).size() == 16);
  return 0;
}

// The bundle's address file as the installer reads it (provisioning/endpoint_file.h
// `readEndpointUrlFile`, over provisioning/first_line.h): the address is the file's bytes up to
// its first line feed, as they stand.
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "provisioning/endpoint_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view content = fuzz::textOf(data, size);
  static const std::string path = endpointUrlFilePath(fuzz::scratchDirectory().string());
  fuzz::writeWhole(path, content);
  std::string address = readEndpointUrlFile(path, [](const std::string&, bool) { abort(); });
  FUZZ_CHECK(address == content.substr(0, content.find('\n')));
  return 0;
}

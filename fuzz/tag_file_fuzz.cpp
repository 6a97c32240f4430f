// The cache's tag file as the installer reads it (`storedValidationString` of
// provisioning/agent_cache.h, over provisioning/first_line.h), and the check it passes before it
// becomes an If-None-Match header (host/attempt_plan.h `isEntityTag`, as
// `DownloadTask::setCachedTag` asks it); the same bytes as the proof kept beside the tag
// (`readKeptProof`).
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "host/attempt_plan.h"
#include "platform/constants.h"
#include "provisioning/agent_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view content = fuzz::textOf(data, size);
  static const std::string directory = fuzz::scratchDirectory().string();
  fuzz::writeWhole(validationStringPath(directory), content);
  std::string tag = storedValidationString(directory);
  FUZZ_CHECK(tag == content.substr(0, content.find('\n')));
  if (host::isEntityTag(tag)) FUZZ_CHECK(tag.find_first_of("\r\n") == std::string::npos);
  fuzz::writeWhole(directory + "/.agentproof", content);
  if (std::optional<KeptProof> kept = readKeptProof(directory))
    FUZZ_CHECK(kept->tag.find('\n') == std::string::npos && content.starts_with(kept->tag) &&
               content.ends_with(kept->proof));
  return 0;
}

// The readers of an answer that decide how a download goes on (host/download_retry.h): the
// Retry-After wait, the tag a later attempt may continue the body with, and whether a 206's
// Content-Range continues it. The input is a header block: a status line, then "Name: value"
// lines.
#include <inttypes.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "host/download_retry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::UrlResponse response = fuzz::responseFrom(fuzz::textOf(data, size));

  // A wait is never in the past, and a wait the server asks for is kept or ends the retries.
  std::optional<int64_t> retryAfter = host::retryAfterSeconds(response);
  if (retryAfter) FUZZ_CHECK(*retryAfter >= 0);
  host::RetryPlan plan;
  std::optional<int> wait = plan.next(false, retryAfter);
  if (wait) FUZZ_CHECK(*wait >= 0 && (!retryAfter || *wait == *retryAfter));

  // Only a strong ETag of an answer that takes byte ranges continues a body, and only as it
  // may go back to the server in If-Range.
  std::string tag = host::resumeTag(response);
  if (!tag.empty()) {
    FUZZ_CHECK(response.headerField("ETag") == tag);
    FUZZ_CHECK(!tag.starts_with("W/"));
    FUZZ_CHECK(host::isEntityTag(tag));
  }

  // Only a 206 continues a body; try the offset its Content-Range names, and others.
  std::optional<std::string> range = response.headerField("Content-Range");
  int64_t named = 0;
  if (range) sscanf(range->c_str(), "bytes %" SCNd64, &named);
  for (int64_t offset : {int64_t{0}, int64_t{1000}, named, named == INT64_MAX ? 0 : named + 1}) {
    for (int64_t total : {int64_t{-1}, int64_t{2000}}) {
      if (host::continuesBody(response, offset, response.headerField("ETag").value_or(""), total))
        FUZZ_CHECK(response.statusCode == 206 &&
                   range->starts_with("bytes " + std::to_string(offset) + "-"));
    }
  }
  return 0;
}

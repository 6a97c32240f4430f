// What the attempt plan (host/attempt_plan.h) makes of an answer: the wait its Retry-After asks
// for, the tag a later attempt may continue its body with, whether a 206 continues the body on
// disk, and what fails it. The input is a header block: a status line, then "Name: value" lines.
#include <inttypes.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "host/attempt_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::UrlResponse answer = fuzz::responseFrom(fuzz::textOf(data, size));
  std::optional<std::string> length = answer.headerField("Content-Length");
  if (length) sscanf(length->c_str(), "%" SCNd64, &answer.expectedContentLength);
  // The seconds libcurl would read in Retry-After, as the session passes them on.
  std::optional<int64_t> retryAfter;
  if (std::optional<std::string> asked = answer.headerField("Retry-After"))
    retryAfter = std::max<int64_t>(0, strtoll(asked->c_str(), nullptr, 10));

  // The first answer: a wait the server asks for is kept or not waited for; a body it begins
  // may be continued only with a strong tag that may go back to the server in If-Range.
  host::AttemptPlan first{.largestBody = 1 << 20};
  host::AnswerOutcome outcome = first.takeAnswer(answer, retryAfter, 0);
  FUZZ_CHECK(outcome.kind != host::AnswerOutcome::kContinues &&
             outcome.kind != host::AnswerOutcome::kAskWhole);
  if (outcome.kind == host::AnswerOutcome::kRetry)
    FUZZ_CHECK(outcome.seconds >= 0 && (!retryAfter || outcome.seconds == *retryAfter));
  // It fails a body too large for the plan, or one the server encoded.
  if (outcome.kind == host::AnswerOutcome::kFails)
    FUZZ_CHECK(outcome.failure.code() == host::BodyFailure::kEncoded
                   ? answer.headerField("Content-Encoding").has_value()
                   : answer.expectedContentLength > first.largestBody);
  if (!first.resumeTag.empty()) {
    FUZZ_CHECK(answer.headerField("ETag") == first.resumeTag);
    FUZZ_CHECK(!first.resumeTag.starts_with("W/") && host::isEntityTag(first.resumeTag));
  }

  // A resumed attempt: only a 206 whose Content-Range starts where the body on disk ends
  // continues it; try the offset its Content-Range names, and others.
  std::optional<std::string> range = answer.headerField("Content-Range");
  int64_t named = 0;
  if (range) sscanf(range->c_str(), "bytes %" SCNd64, &named);
  for (int64_t onDisk : {int64_t{1000}, named, named == INT64_MAX ? 1 : named + 1}) {
    for (int64_t total : {int64_t{-1}, int64_t{2000}}) {
      if (onDisk <= 0) continue;
      host::AttemptPlan resumed{.largestBody = INT64_MAX,
                                .resumeTag = answer.headerField("ETag").value_or("\"x\""),
                                .announcedTotal = total};
      host::AnswerOutcome rest = resumed.takeAnswer(answer, std::nullopt, onDisk);
      if (rest.kind != host::AnswerOutcome::kContinues) continue;
      FUZZ_CHECK(answer.statusCode == 206 &&
                 range->starts_with("bytes " + std::to_string(onDisk) + "-"));
      FUZZ_CHECK(total < 0 || rest.expectedTotal <= total);
    }
  }
  return 0;
}

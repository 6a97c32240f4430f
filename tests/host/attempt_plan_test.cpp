// The attempts of a download as the plan decides them (host/attempt_plan.h), without a server.
// The attempts themselves, against real servers, are in the fault matrix
// (tests/reliability/fault_matrix_test.cpp).
#include "host/attempt_plan.h"

#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Kind = host::AnswerOutcome::Kind;
using Fields = std::vector<std::pair<std::string, std::string>>;

host::UrlResponse answer(long status, int64_t length, Fields fields) {
  return {.statusCode = status, .expectedContentLength = length, .headerFields = std::move(fields)};
}

// A body of 1000 bytes, begun by an answer tagged "v1" that takes ranges.
host::AttemptPlan resumable() {
  return {.largestBody = 5000, .resumeTag = "\"v1\"", .announcedTotal = 1000};
}

TEST(AttemptPlan, AsksForTheRestWithItsTagOrForAChangedCopyOrPlainly) {
  struct Row {
    const char* name;
    host::AttemptPlan plan;
    int64_t onDisk;
    std::string range, field;
  } rows[] = {
      {"nothing held", {}, 0, "", ""},
      {"the delegate's copy", {.cachedTag = "\"v0\""}, 0, "", "If-None-Match: \"v0\""},
      {"a body to continue", resumable(), 100, "100-", "If-Range: \"v1\""},
      {"a tag but nothing on disk", resumable(), 0, "", ""},
      {"nothing to continue with", {.announcedTotal = 1000}, 100, "", ""},
  };
  for (const Row& row : rows) {
    host::RequestConditions conditions = row.plan.nextRequest(row.onDisk);
    EXPECT_EQ(conditions.range, row.range) << row.name;
    EXPECT_EQ(conditions.field, row.field) << row.name;
  }
}

TEST(AttemptPlan, ReadsEachAnswerAsTheBodyItBringsOrTheAttemptItAsksFor) {
  const std::pair<std::string, std::string> v1{"ETag", "\"v1\""}, ranges{"Accept-Ranges", "bytes"};
  auto rest = [&](std::string range, int64_t length = 900) {
    return answer(206, length, {v1, {"Content-Range", std::move(range)}});
  };
  struct Row {
    const char* name;
    host::AttemptPlan plan;
    int64_t onDisk;
    host::UrlResponse answer;
    std::optional<int64_t> retryAfter;
    Kind kind;
    int64_t expectedTotal = -1;  // or the retry's seconds
    std::string resumeTagAfter = "";
  } rows[] = {
      {"200, new body",
       {.largestBody = 5000},
       0,
       answer(200, 1000, {v1, ranges}),
       {},
       Kind::kNewBody,
       1000,
       "\"v1\""},
      {"200 with a weak tag",
       {.largestBody = 5000},
       0,
       answer(200, 1000, {{"ETag", "W/\"v1\""}, ranges}),
       {},
       Kind::kNewBody,
       1000},
      {"200 that takes no ranges",
       {.largestBody = 5000},
       0,
       answer(200, 1000, {v1}),
       {},
       Kind::kNewBody,
       1000},
      {"200 to a resumed request",
       resumable(),
       100,
       answer(200, 1000, {v1, ranges}),
       {},
       Kind::kNewBody,
       1000,
       "\"v1\""},
      {"206 that continues",
       resumable(),
       100,
       rest("bytes 100-999/1000"),
       {},
       Kind::kContinues,
       1000,
       "\"v1\""},
      {"206 of a part of the rest",
       resumable(),
       100,
       rest("bytes 100-499/1000", 400),
       {},
       Kind::kContinues,
       1000,
       "\"v1\""},
      {"206 of a body of no length",
       {.largestBody = 5000, .resumeTag = "\"v1\""},
       100,
       rest("bytes 100-999/*", -1),
       {},
       Kind::kContinues,
       -1,
       "\"v1\""},
      {"206 of another tag",
       resumable(),
       100,
       answer(206, 900, {{"ETag", "\"v2\""}, {"Content-Range", "bytes 100-999/1000"}}),
       {},
       Kind::kAskWhole},
      {"206 from another start", resumable(), 100, rest("bytes 0-999/1000"), {}, Kind::kAskWhole},
      {"206 past the length first announced",
       resumable(),
       100,
       rest("bytes 100-1999/2000"),
       {},
       Kind::kAskWhole},
      {"206 longer than the rest",
       resumable(),
       100,
       rest("bytes 100-999/1000", 1900),
       {},
       Kind::kAskWhole},
      {"206 past its own length",
       resumable(),
       100,
       rest("bytes 100-1000/1000"),
       {},
       Kind::kAskWhole},
      {"206 of no length to a body of one",
       resumable(),
       100,
       rest("bytes 100-999/*"),
       {},
       Kind::kAskWhole},
      {"206 with a malformed range",
       resumable(),
       100,
       rest("bytes 100-999/1000x"),
       {},
       Kind::kAskWhole},
      {"206 with a signed number",
       resumable(),
       100,
       rest("bytes +100-999/1000"),
       {},
       Kind::kAskWhole},
      {"206 without a range", resumable(), 100, answer(206, 900, {v1}), {}, Kind::kAskWhole},
      {"304 to the cached tag",
       {.largestBody = 5000, .cachedTag = "\"v0\""},
       0,
       answer(304, 0, {{"ETag", "\"v0\""}}),
       {},
       Kind::kNotModified,
       0},
      {"304 unasked", {.largestBody = 5000}, 0, answer(304, 0, {}), {}, Kind::kNewBody, 0},
      {"503 with Retry-After 3", {}, 0, answer(503, 10, {}), 3, Kind::kRetry, 3},
      {"503 with Retry-After 0", {}, 0, answer(503, 10, {}), 0, Kind::kRetry, 0},
      {"503 with Retry-After 60: its answer is the task's",
       {.largestBody = 5000},
       0,
       answer(503, 10, {}),
       60,
       Kind::kNewBody,
       10},
      {"404: the delegate judges it",
       {.largestBody = 5000},
       0,
       answer(404, 10, {}),
       {},
       Kind::kNewBody,
       10},
      {"200 larger than allowed",
       {.largestBody = 999},
       0,
       answer(200, 1000, {v1, ranges}),
       {},
       Kind::kFails,
       1000},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::AnswerOutcome outcome = row.plan.takeAnswer(row.answer, row.retryAfter, row.onDisk);
    ASSERT_EQ(outcome.kind, row.kind);
    if (row.kind == Kind::kRetry) {
      EXPECT_EQ(outcome.seconds, row.expectedTotal);
      continue;
    }
    EXPECT_TRUE(row.plan.cachedTag.empty());  // the condition was for the first answer
    if (row.kind == Kind::kFails) {
      EXPECT_EQ(outcome.failure.code(), host::BodyFailure::kAnnouncedLarge);
      EXPECT_EQ(outcome.failure.subject(), std::to_string(row.expectedTotal));
      continue;
    }
    EXPECT_EQ(row.plan.resumeTag, row.resumeTagAfter);
    if (row.kind == Kind::kAskWhole) continue;
    EXPECT_EQ(outcome.expectedTotal, row.expectedTotal);
  }
}

TEST(AttemptPlan, WaitsDoubleUpToEightSecondsAndFiveBarrenAttemptsInARowEndThem) {
  using Waits = std::vector<std::optional<int>>;
  host::AttemptPlan fresh;
  Waits waits;
  for (int attempt = 0; attempt < 5; ++attempt) waits.push_back(fresh.waitAfterFailure(true, 0));
  EXPECT_EQ(waits, (Waits{1, 2, 4, 8, std::nullopt}));
  EXPECT_EQ(host::AttemptPlan().waitAfterFailure(false, 0), std::nullopt);

  // An attempt that took the body 64 KiB further starts the count and the waits afresh.
  host::AttemptPlan resumed;
  resumed.waitAfterFailure(true, 0);
  resumed.waitAfterFailure(true, 60'000);
  waits = {};
  for (int attempt = 0; attempt < 6; ++attempt)
    waits.push_back(resumed.waitAfterFailure(true, 60'000 + 64 * 1024));
  EXPECT_EQ(waits, (Waits{1, 2, 4, 8, 8, std::nullopt}));

  // Transient statuses count among the barren attempts: the fifth is the task's answer.
  host::AttemptPlan busy{.largestBody = 5000};
  std::vector<Kind> kinds;
  for (int attempt = 0; attempt < 5; ++attempt)
    kinds.push_back(busy.takeAnswer(answer(503, 10, {}), std::nullopt, 0).kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kRetry, Kind::kRetry, Kind::kRetry, Kind::kRetry,
                                      Kind::kNewBody}));
}

}  // namespace

// When a download tries again, and when an attempt may continue a body (host/download_retry.h).
// The attempts themselves, against real servers, are in the fault matrix
// (tests/reliability/fault_matrix_test.cpp).
#include "host/download_retry.h"

#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

host::UrlResponse answer(long status, std::vector<std::pair<std::string, std::string>> fields) {
  host::UrlResponse response;
  response.statusCode = status;
  response.headerFields = std::move(fields);
  return response;
}

TEST(RetryPlan, WaitsDoubleUpToEightSecondsAndFiveBarrenAttemptsInARowEndThem) {
  host::RetryPlan fresh;
  std::vector<std::optional<int>> waits;
  for (int attempt = 0; attempt < 5; ++attempt) waits.push_back(fresh.next(false, {}));
  EXPECT_EQ(waits, (std::vector<std::optional<int>>{1, 2, 4, 8, std::nullopt}));

  // An attempt that brought new bytes starts the count and the waits afresh.
  host::RetryPlan resumed;
  resumed.next(false, {});
  resumed.next(false, {});
  waits = {resumed.next(true, {})};
  for (int attempt = 0; attempt < 5; ++attempt) waits.push_back(resumed.next(false, {}));
  EXPECT_EQ(waits, (std::vector<std::optional<int>>{1, 2, 4, 8, 8, std::nullopt}));

  // A server's Retry-After is waited for up to 30 seconds; a longer one ends the retries.
  host::RetryPlan asked;
  EXPECT_EQ(asked.next(false, 30), 30);
  EXPECT_EQ(asked.next(false, 0), 0);
  EXPECT_EQ(asked.next(false, 31), std::nullopt);
}

TEST(RetryPlan, ReadsRetryAfterAndTheValidatorsOfAResume) {
  EXPECT_EQ(host::retryAfterSeconds(answer(503, {{"Retry-After", "7"}})), 7);
  EXPECT_EQ(host::retryAfterSeconds(answer(503, {{"retry-after", "Wed, 21 Oct 2015 07:28:00 GMT"}})),
            0);  // a date in the past: at once
  EXPECT_EQ(host::retryAfterSeconds(answer(503, {{"Retry-After", "soon"}})), std::nullopt);
  EXPECT_EQ(host::retryAfterSeconds(answer(503, {})), std::nullopt);

  const std::pair<std::string, std::string> ranges{"Accept-Ranges", "bytes"};
  EXPECT_EQ(host::resumeTag(answer(200, {{"ETag", "\"v1\""}, ranges})), "\"v1\"");
  EXPECT_EQ(host::resumeTag(answer(200, {{"ETag", "W/\"v1\""}, ranges})), "");  // weak
  EXPECT_EQ(host::resumeTag(answer(200, {{"ETag", "\"v1\""}})), "");           // no ranges
  EXPECT_EQ(host::resumeTag(answer(200, {{"ETag", "\"v1\""}, {"Accept-Ranges", "none"}})), "");
  EXPECT_EQ(host::resumeTag(answer(200, {ranges})), "");  // no tag

  // Only the rest of the very body on disk continues it: its tag, its start, its length.
  const std::pair<std::string, std::string> v1{"ETag", "\"v1\""};
  auto continues = [&](long status, std::string range, int64_t total = 1000) {
    return host::continuesBody(answer(status, {v1, {"Content-Range", range}}), 100, "\"v1\"",
                               total);
  };
  EXPECT_TRUE(continues(206, "bytes 100-999/1000"));
  EXPECT_TRUE(continues(206, "bytes 100-499/1000"));
  EXPECT_TRUE(continues(206, "bytes 100-999/*", -1));  // no length was announced
  EXPECT_FALSE(continues(206, "bytes 0-999/1000"));    // starts elsewhere
  EXPECT_FALSE(continues(200, "bytes 100-999/1000"));
  EXPECT_FALSE(continues(206, "bytes 100-1999/2000"));  // past the length first announced
  EXPECT_FALSE(continues(206, "bytes 100-1000/1000"));  // past its own length
  EXPECT_FALSE(continues(206, "bytes 100-999/*"));
  EXPECT_FALSE(continues(206, "bytes 100-999/1000x"));
  EXPECT_FALSE(continues(206, "bytes +100-999/1000"));  // the number as it is written
  EXPECT_FALSE(host::continuesBody(
      answer(206, {{"ETag", "\"v2\""}, {"Content-Range", "bytes 100-999/1000"}}), 100, "\"v1\"",
      1000));  // another version
  EXPECT_FALSE(host::continuesBody(answer(206, {v1}), 100, "\"v1\"", 1000));
}

}  // namespace

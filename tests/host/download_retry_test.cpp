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

  EXPECT_TRUE(host::continuesBody(answer(206, {{"Content-Range", "bytes 100-999/1000"}}), 100));
  EXPECT_FALSE(host::continuesBody(answer(206, {{"Content-Range", "bytes 0-999/1000"}}), 100));
  EXPECT_FALSE(host::continuesBody(answer(200, {{"Content-Range", "bytes 100-999/1000"}}), 100));
  EXPECT_FALSE(host::continuesBody(answer(206, {}), 100));
}

}  // namespace

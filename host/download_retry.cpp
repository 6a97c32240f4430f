#include "host/download_retry.h"

#include <glib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace host {
namespace {

constexpr int kAttemptsWithoutProgress = 5;
constexpr int kLongestWait = 8;          // seconds; the waits double up to it
constexpr int64_t kLongestRetryAfter = 30;  // seconds; a server that asks for more is not waited for

}  // namespace

bool isTransientError(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:  // the idle time-out too
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:  // closed before the body's end
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:  // reset
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

bool isTransientStatus(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

std::optional<int> RetryPlan::next(bool progressed, std::optional<int64_t> retryAfter) {
  if (progressed) {
    barren_ = 0;
    waits_ = 0;
  } else {
    ++barren_;
  }
  if (barren_ >= kAttemptsWithoutProgress) return std::nullopt;
  if (retryAfter) {
    if (*retryAfter > kLongestRetryAfter) return std::nullopt;
    return static_cast<int>(*retryAfter);
  }
  int wait = std::min(1 << std::min(waits_, 30), kLongestWait);
  ++waits_;
  return wait;
}

std::optional<int64_t> retryAfterSeconds(const UrlResponse& response) {
  std::optional<std::string> value = response.headerField("Retry-After");
  if (!value || value->empty()) return std::nullopt;
  if (std::all_of(value->begin(), value->end(), [](char c) { return g_ascii_isdigit(c); }))
    return g_ascii_strtoll(value->c_str(), nullptr, 10);
  time_t at = curl_getdate(value->c_str(), nullptr);
  if (at == -1) return std::nullopt;
  return std::max<int64_t>(0, static_cast<int64_t>(at - time(nullptr)));
}

std::string resumeTag(const UrlResponse& response) {
  std::optional<std::string> tag = response.headerField("ETag");
  std::optional<std::string> ranges = response.headerField("Accept-Ranges");
  // A weak tag only says that two bodies mean the same, not that their bytes are equal.
  if (!tag || tag->empty() || g_str_has_prefix(tag->c_str(), "W/") || !ranges ||
      g_ascii_strcasecmp(ranges->c_str(), "bytes") != 0)
    return "";
  return *tag;
}

bool continuesBody(const UrlResponse& response, int64_t offset, const std::string& tag,
                   int64_t total) {
  std::optional<std::string> range = response.headerField("Content-Range");
  if (response.statusCode != 206 || !range || response.headerField("ETag") != tag) return false;
  // "bytes FIRST-LAST/TOTAL", TOTAL a number, or "*" when the first answer gave no length.
  int64_t first = -1, last = -1, length = -1;
  int end = 0;
  const char* text = range->c_str();
  if (sscanf(text, "bytes %" SCNd64 "-%" SCNd64 "/%n", &first, &last, &end) != 2 || end == 0)
    return false;
  const std::string_view rest(text + end);
  if (rest == "*" ? total >= 0
                  : (sscanf(text + end, "%" SCNd64, &length) != 1 ||
                     rest.find_first_not_of("0123456789") != std::string_view::npos ||
                     (total >= 0 && length != total)))
    return false;
  return first == offset && last >= first && (length < 0 || last < length);
}

}  // namespace host

#include "host/download_retry.h"

#include <glib.h>

#include <algorithm>
#include <charconv>
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

bool isEntityTag(std::string_view tag) {
  if (tag.starts_with("W/")) tag.remove_prefix(2);
  if (tag.size() < 2 || tag.size() > 1024 || tag.front() != '"' || tag.back() != '"') return false;
  return std::all_of(tag.begin() + 1, tag.end() - 1, [](unsigned char c) {
    return c == 0x21 || (c >= 0x23 && c != 0x7f);
  });
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
  if (!tag || !isEntityTag(*tag) || g_str_has_prefix(tag->c_str(), "W/") || !ranges ||
      g_ascii_strcasecmp(ranges->c_str(), "bytes") != 0)
    return "";
  return *tag;
}

namespace {

// The number of digits alone (no blank, no sign, no leading zero) at the start of `text`, which
// is left after it.
std::optional<int64_t> takeNumber(std::string_view* text) {
  if (text->size() > 1 && (*text)[0] == '0' && g_ascii_isdigit((*text)[1])) return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  text->remove_prefix(static_cast<size_t>(end - text->data()));
  return static_cast<int64_t>(value);
}

// Whether `text` starts with `prefix`, which it then leaves.
bool take(std::string_view* text, std::string_view prefix) {
  if (!text->starts_with(prefix)) return false;
  text->remove_prefix(prefix.size());
  return true;
}

}  // namespace

bool continuesBody(const UrlResponse& response, int64_t offset, const std::string& tag,
                   int64_t total) {
  std::optional<std::string> range = response.headerField("Content-Range");
  if (response.statusCode != 206 || !range || response.headerField("ETag") != tag) return false;
  // "bytes FIRST-LAST/LENGTH", LENGTH a number, or "*" when the first answer gave none.
  std::string_view text = *range;
  std::optional<int64_t> first, last, length;
  if (!take(&text, "bytes ") || !(first = takeNumber(&text)) || !take(&text, "-") ||
      !(last = takeNumber(&text)) || !take(&text, "/"))
    return false;
  if (text == "*" ? total >= 0 : !(length = takeNumber(&text)) || !text.empty()) return false;
  if (length && total >= 0 && *length != total) return false;
  return *first == offset && *last >= *first && (!length || *last < *length);
}

}  // namespace host

#include "host/attempt_plan.h"

#include <curl/curl.h>
#include <glib.h>
#include <strings.h>

#include <algorithm>
#include <charconv>

namespace host {
namespace {

constexpr int kAttemptsWithoutProgress = 5;
constexpr int64_t kLeastProgress = 64 * 1024;  // what an attempt must add to count as progress
constexpr int kLongestWait = 8;                // seconds; the waits double up to it
// Seconds; a server that asks for more is not waited for.
constexpr int64_t kLongestRetryAfter = 30;

// The tag a later attempt may continue this answer's body with: its strong ETag when it takes
// byte ranges and may go back to the server as it is; empty when the body can only begin again.
std::string resumeTagOf(const UrlResponse& answer) {
  std::optional<std::string> tag = answer.headerField("ETag");
  std::optional<std::string> ranges = answer.headerField("Accept-Ranges");
  // A weak tag only says that two bodies mean the same, not that their bytes are equal.
  if (!tag || !isEntityTag(*tag) || tag->starts_with("W/") || !ranges ||
      g_ascii_strcasecmp(ranges->c_str(), "bytes") != 0)
    return "";
  return *tag;
}

// Whether an answer with `status` may be followed by a better one.
bool isTransientStatus(long status) {
  return status == 408 || status == 429 || status == 500 || (status >= 502 && status <= 504);
}

// The number (digits alone: no blank, sign or leading zero) that `text` starts with, taken off.
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

// Whether `answer` is the 206 that continues a body of which `offset` bytes are on disk, begun by
// an answer with the resume tag `tag` and the length `total` (-1 when it gave none).
bool continuesBody(const UrlResponse& answer, int64_t offset, const std::string& tag,
                   int64_t total) {
  std::optional<std::string> range = answer.headerField("Content-Range");
  if (answer.statusCode != 206 || !range || answer.headerField("ETag") != tag) return false;
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

}  // namespace

std::optional<std::string> UrlResponse::headerField(std::string_view name) const {
  for (const auto& [field, value] : headerFields) {
    if (field.size() == name.size() && strncasecmp(field.data(), name.data(), name.size()) == 0)
      return value;
  }
  return std::nullopt;
}

bool isEntityTag(std::string_view tag) {
  if (tag.starts_with("W/")) tag.remove_prefix(2);
  if (tag.size() < 2 || tag.size() > 1024 || tag.front() != '"' || tag.back() != '"') return false;
  return std::all_of(tag.begin() + 1, tag.end() - 1,
                     [](unsigned char c) { return c == 0x21 || (c >= 0x23 && c != 0x7f); });
}

bool isTransientFailure(int code, long tunnelStatus) {
  // A proxy that refused the tunnel (a 407, say) is judged by its status, as a server would be.
  if (tunnelStatus >= 300) return isTransientStatus(tunnelStatus);
  return code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY ||
         code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT ||
         code == CURLE_GOT_NOTHING || code == CURLE_PARTIAL_FILE || code == CURLE_SEND_ERROR ||
         code == CURLE_RECV_ERROR || code == CURLE_HTTP2 || code == CURLE_HTTP2_STREAM;
}

std::optional<int> AttemptPlan::nextWait(bool progressed, std::optional<int64_t> retryAfter) {
  barrenAttempts = progressed ? 0 : barrenAttempts + 1;
  if (progressed) waitsSinceProgress = 0;
  if (barrenAttempts >= kAttemptsWithoutProgress) return std::nullopt;
  if (retryAfter && *retryAfter > kLongestRetryAfter) return std::nullopt;
  if (retryAfter) return static_cast<int>(*retryAfter);
  return std::min(1 << std::min(waitsSinceProgress++, 30), kLongestWait);
}

RequestConditions AttemptPlan::nextRequest(int64_t onDisk) const {
  if (!resumeTag.empty() && onDisk > 0)
    return {std::to_string(onDisk) + "-", "If-Range: " + resumeTag};
  if (!cachedTag.empty()) return {"", "If-None-Match: " + cachedTag};
  return {};
}

AnswerOutcome AttemptPlan::takeAnswer(const UrlResponse& answer, std::optional<int64_t> retryAfter,
                                      int64_t onDisk) {
  const long status = answer.statusCode;
  std::optional<int> wait = isTransientStatus(status) ? nextWait(false, retryAfter) : std::nullopt;
  if (wait) return {.kind = AnswerOutcome::kRetry, .seconds = *wait};
  // A body the server encoded is not the file, and is not decoded here: a range of it would be
  // a range of the encoding, which the rest of a download could not continue.
  std::string encoding = answer.headerField("Content-Encoding").value_or("identity");
  if ((status == 200 || status == 206) && g_ascii_strcasecmp(encoding.c_str(), "identity") != 0)
    return {.kind = AnswerOutcome::kFails, .failure = {BodyFailure::kEncoded, encoding}};
  const bool resumed = !nextRequest(onDisk).range.empty();
  // The condition is for the first answer: after it, the task asks for the body as it is.
  const bool conditional = !std::exchange(cachedTag, "").empty();
  const int64_t length = answer.expectedContentLength;
  AnswerOutcome outcome{.kind = AnswerOutcome::kNewBody, .expectedTotal = length};
  if (resumed && answer.statusCode == 206) {
    // Appended only when it is the rest of this very body; otherwise asked for whole, at once.
    if (!continuesBody(answer, onDisk, resumeTag, announcedTotal) ||
        (announcedTotal >= 0 && length > announcedTotal - onDisk)) {
      resumeTag.clear();
      return {.kind = AnswerOutcome::kAskWhole};
    }
    outcome.kind = AnswerOutcome::kContinues;
    // The whole body's length is the one first announced, even when this part stops short of
    // it. A length past any body allowed fails below; the sum must not overflow on the way.
    if (length >= 0) outcome.expectedTotal = std::min(length, INT64_MAX - onDisk) + onDisk;
    if (announcedTotal >= 0) outcome.expectedTotal = announcedTotal;
  } else {
    if (conditional && answer.statusCode == 304) outcome.kind = AnswerOutcome::kNotModified;
    resumeTag = resumeTagOf(answer);
    announcedTotal = length;
  }
  if (outcome.expectedTotal > largestBody) {
    outcome.kind = AnswerOutcome::kFails;
    outcome.failure = {BodyFailure::kAnnouncedLarge, std::to_string(outcome.expectedTotal)};
  }
  return outcome;
}

std::optional<int> AttemptPlan::waitAfterFailure(bool transient, int64_t onDisk) {
  const bool progressed = onDisk >= furthest + kLeastProgress;
  furthest = std::max(furthest, onDisk);
  return transient ? nextWait(progressed, std::nullopt) : std::nullopt;
}

}  // namespace host

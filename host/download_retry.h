// When a download tries again, and when a new attempt may continue what the earlier ones brought.
// The URL session (host/url_session.cpp) asks after every attempt that failed; nothing else does.
// Plain values and functions, for one thread at a time.
//
// Transient failures are tried again: a connection refused, reset or closed before the body's
// end, the idle time-out, a name that does not resolve, and the statuses 408, 429, 500, 502, 503
// and 504. The waits are 1, 2, 4 and 8 seconds, and 8 from then on, or the server's Retry-After
// when it asks for 30 seconds or less (a longer one ends the retries). Five attempts in a row
// that bring fewer than 64 KiB beyond what the body ever held end them; one that brings more
// starts the count and the waits afresh, so a server that trickles cannot hold a run for ever.
//
// An attempt continues the body only when the answer that began it had a strong ETag and
// "Accept-Ranges: bytes": it then asks for "Range: bytes=N-" with "If-Range: <ETag>", and only a
// 206 of that ETag whose Content-Range starts at N and ends within the length the body first
// announced continues it. Any other 206 is asked again for whole; any other answer is a new body
// from its start. So the file on disk is always one version.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/url_session.h"

namespace host {

// Whether a transport failure may go away on another attempt.
bool isTransientError(CURLcode code);
// Whether an HTTP status may.
bool isTransientStatus(long status);

// What an attempt must add to the body to count as progress.
constexpr int64_t kLeastProgress = 64 * 1024;

// Whether `tag` may go into a request as it is: an entity tag, weak or strong, of visible
// characters (RFC 9110, 8.8.3), not so long that a server would refuse the request for it.
// It guards the If-None-Match that a cached tag becomes.
bool isEntityTag(std::string_view tag);

// The attempts of one download.
class RetryPlan {
 public:
  // After a failed attempt: the seconds to wait before the next one, or nothing when none is
  // to be made. `progressed`: the attempt took the body `kLeastProgress` bytes further than
  // any before it.
  // `retryAfter`: the seconds the server asked for (its Retry-After), if it did.
  std::optional<int> next(bool progressed, std::optional<int64_t> retryAfter);

 private:
  int barren_ = 0;  // attempts in a row that brought no new byte
  int waits_ = 0;   // waits since the last attempt that brought one
};

// The answer's Retry-After, in whole seconds from now (a date in the past is 0); nothing when
// it has none or none that can be read.
std::optional<int64_t> retryAfterSeconds(const UrlResponse& response);

// The validator a later attempt may continue this answer's body with: its strong ETag when it
// takes byte ranges, and when the tag may go back to the server as it is (`isEntityTag`). Empty
// when the body cannot be continued, only begun again.
std::string resumeTag(const UrlResponse& response);

// Whether `response` is the 206 that continues a body of which `offset` bytes are on disk, begun
// by an answer with the resume tag `tag` and the length `total` (-1 when it gave none).
bool continuesBody(const UrlResponse& response, int64_t offset, const std::string& tag,
                   int64_t total);

}  // namespace host

// How the attempts of one download go: what each asks for, what its answer means for the body
// on disk, and how long to wait before the next. The URL session holds one plan per task; plain
// values and functions, for one thread at a time.
//
// Transient failures wait 1, 2, 4, then 8 seconds, or a Retry-After of 30 s at most (a longer one
// ends the retries); five attempts in a row that bring under 64 KiB beyond what the body ever held
// end them, so that a trickle cannot hold a run for ever. The body is continued ("Range: bytes=N-"
// and If-Range) only after an answer with a strong ETag and "Accept-Ranges: bytes", and only by a
// 206 of that ETag from N within the length first announced: another 206 is asked again whole,
// another answer is a new body, so the file on disk is always one version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/body_file.h"
#include "host/url_session.h"

namespace host {

// Whether `tag` may go into a request as it is: an entity tag (RFC 9110, 8.8.3) of visible
// characters, not so long that a server would refuse the request for it.
bool isEntityTag(std::string_view tag);

// Whether a transport failure (libcurl's `code`) may go away on another attempt. `tunnelStatus`:
// a proxy's answer to CONNECT, judged as a server's status would be, or 0.
bool isTransientFailure(int code, long tunnelStatus);

// What the next request adds: a range and If-Range, If-None-Match, or nothing.
struct RequestConditions {
  std::string range;  // "N-", the rest of the body from byte N; empty for the whole
  std::string field;  // the conditional request field, e.g. "If-Range: \"v1\""; empty for none
};

// What an attempt's answer means for the task.
struct AnswerOutcome {
  enum Kind {
    kContinues,    // appended to the body on disk
    kNewBody,      // a body from its start, whatever its status: the delegate judges it
    kAskWhole,     // a 206 that is not the rest of this body: the whole is asked for at once
    kNotModified,  // the server found the delegate's copy current
    kRetry,        // a transient status: tried again after `seconds`
    kFails,        // ends the task with `failure`
  };
  Kind kind = kNewBody;
  int seconds = 0;
  int64_t expectedTotal = -1;  // the whole body's length, when known
  BodyStatus failure{};
};

// What lasts for the task from one attempt to the next.
struct AttemptPlan {
  int64_t largestBody = 0;      // the most bytes a body may hold
  std::string cachedTag{};      // asked If-None-Match until an answer is taken
  std::string resumeTag{};      // what a later attempt may continue the body with; empty: it cannot
  int64_t announcedTotal = -1;  // the length the answer that began the body gave, or -1
  int64_t furthest = 0;         // the most bytes the body has held at the end of an attempt
  int barrenAttempts = 0;       // in a row, that took the body no further
  int waitsSinceProgress = 0;
  size_t proxy = 0;  // which of the session's proxies the attempts go through (host/proxy_route.h)

  RequestConditions nextRequest(int64_t onDisk) const;
  // Takes the answer to that request, `onDisk` bytes kept; `retryAfter`: its Retry-After's seconds.
  AnswerOutcome takeAnswer(const UrlResponse& answer, std::optional<int64_t> retryAfter,
                           int64_t onDisk);
  // After an attempt that ended without a usable answer: the wait before the next, or nothing.
  std::optional<int> waitAfterFailure(bool transient, int64_t onDisk);

 private:
  // The wait after a failed attempt, or none; `progressed`: it took the body further than before.
  std::optional<int> nextWait(bool progressed, std::optional<int64_t> retryAfter);
};

}  // namespace host

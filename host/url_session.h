// The URL session: HTTP and HTTPS downloads on libcurl, with a delegate. A session owns one worker
// thread, its serial delegate queue: the transfer runs there and every delegate callback is
// delivered there, one at a time, never on the main thread. `cancel` and `invalidateAndCancel` may
// be called from any thread, also from inside a callback; they take effect at once and never wait
// for the delegate queue. After either, no data or finish callback begins; at most the task's end
// (with `cancelled`) is delivered. A callback already under way when another thread cancels runs to
// its end.
//
// A task survives a flaky network: it tries a transient failure again after a wait, and
// continues the body where it broke off when the server allows it (host/attempt_plan.h). Its
// delegate sees one body, and is told when the task waits and when the body had to begin again.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

class DownloadTask;

// The server's final answer (after redirects), known from the first data callback on, or
// from the finish when the body is empty.
struct UrlResponse {
  long statusCode = 0;
  int64_t expectedContentLength = -1;  // -1 when the server gives no length
  std::vector<std::pair<std::string, std::string>> headerFields;
  // A 206 that continued the body earlier attempts had begun: with them, the whole body.
  bool continuesBody = false;
  std::string proxy = {};  // the proxy it came through, as logs show it; empty: directly

  // The field's value, its name compared without regard to case.
  std::optional<std::string> headerField(std::string_view name) const;
};

// Why a task ended without a finished download.
struct UrlError {
  bool cancelled = false;   // ended by `cancel` or `invalidateAndCancel`
  int code = 0;             // libcurl's CURLcode; 0 when the body file or an answer ended it
  std::string description;  // the short reason, e.g. "Couldn't connect to server"
  std::string proxy = {};   // the proxy the last attempt went through, as logs show it
  long proxyStatus = 0;     // the status with which that proxy refused a tunnel (407), or 0
};

class UrlSessionDelegate {
 public:
  virtual ~UrlSessionDelegate() = default;

  // Bytes of the body arrived: `bytesWritten` since the last call, `totalBytesWritten` so far,
  // `totalBytesExpectedToWrite` the expected length or -1. The first data comes at once, and
  // nothing more is read until it returns; later ones are coalesced (about one call every
  // `progressInterval`, and one at the end); their `bytesWritten` add up to the body's length.
  // A call whose `bytesWritten` equals `totalBytesWritten` is the first data of a body: the
  // task's, or, after a retry, a new answer's that began the body again (the server's file
  // changed, or it cannot continue one). A 304 Not Modified to the task's cached tag comes as a
  // first data of no bytes (see `DownloadTask::setCachedTag`).
  virtual void didWriteData(DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                            int64_t totalBytesExpectedToWrite) = 0;

  // A body begins, its answer known (`task.response()`), its first bytes arrived and nothing
  // kept yet. Asked inside the transfer, so it must be quick: false, for a body the delegate
  // expects to abandon, closes the connection at once. The first data comes as always; should
  // the delegate not cancel there after all, the task goes on with a new attempt at once.
  virtual bool shouldReceiveBody(DownloadTask& /*task*/) { return true; }

  // A transient failure (`cause`, e.g. "Connection reset by peer") ended an attempt; the next,
  // which keeps the body so far, begins in `seconds` seconds.
  virtual void willRetry(DownloadTask& /*task*/, const std::string& /*cause*/, int /*seconds*/) {}
  // Once a second while the task waits for its next attempt: the whole seconds left.
  virtual void retryCountdown(DownloadTask& /*task*/, int /*secondsLeft*/) {}

  // The whole body is in `location`, the session's own temporary file; the session removes it
  // when this returns.
  virtual void didFinishDownloading(DownloadTask& task, const std::string& location) = 0;

  // The task ended: `error` is empty after a finished download.
  virtual void didComplete(DownloadTask& /*task*/, const std::optional<UrlError>& /*error*/) {}
};

// Besides these, the session follows the environment: SSL_CERT_FILE and SSL_CERT_DIR (read when
// the session is made) replace the system's certificate file and directory, for the server and
// an https proxy (a store that names a FIFO or a device ends each task at once, naming it);
// http_proxy, https_proxy, all_proxy and no_proxy (credentials in the proxy URL) choose the proxy;
// without any of them, the desktop's settings do (host/desktop_proxy.h), asked once, on the
// delegate queue before the first request: every task of the session goes the same way.
// Only http and https are fetched, and an https download never follows a redirect to http; HTTP/2
// where offered and where libcurl was built with it (not the portable build's).
struct UrlSessionConfiguration {
  // No answer's start, nor 64 KiB of it, from the server for this long is "Timeout was
  // reached", to the millisecond: silence and a trickle alike. Time spent in delegate callbacks
  // is not counted.
  std::chrono::milliseconds idleTimeout{60'000};
  long maximumRedirects = 16;
  std::filesystem::path temporaryDirectory = {};   // for the body file; empty: TMPDIR, else /tmp
  std::chrono::milliseconds progressInterval{50};  // least time between two data callbacks
  // The most bytes a body may hold, announced or received; a larger one ends the task.
  int64_t largestBody = int64_t{2} << 30;
  // How long a second of the waits between attempts lasts; tests shorten it.
  std::chrono::milliseconds retrySecond{1000};
};

class UrlSession {
 public:
  // Starts the delegate queue. `delegate` must outlive the session's last callback.
  UrlSession(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate);
  // Invalidates and cancels, then joins the delegate queue (unless called on it); a queue
  // that the kernel holds for more than a second (in the open of a certificate file on a hung
  // mount) is left behind, and calls no delegate again. Not to be destroyed on the main thread
  // while the loop runs and a callback may wait on the main queue.
  ~UrlSession();
  UrlSession(const UrlSession&) = delete;
  UrlSession& operator=(const UrlSession&) = delete;

  // A new, suspended task for `url`; `resume` starts it. Its callbacks go to `delegate` when
  // it has one of its own, otherwise to the session's; either must outlive its last callback.
  std::shared_ptr<DownloadTask> downloadTask(const std::string& url,
                                             UrlSessionDelegate* delegate = nullptr);

  // Cancels every task and accepts no new work.
  void invalidateAndCancel();

  struct Shared;  // state shared with the delegate queue and the tasks

 private:
  std::shared_ptr<Shared> shared_;
};

class DownloadTask : public std::enable_shared_from_this<DownloadTask> {
 public:
  // Starts the task, once; does nothing when the session has been invalidated. A task
  // cancelled before it started ends with a cancelled error.
  void resume();
  // On the delegate queue it also closes the connection before it returns, so that an abandoned
  // download costs the server nothing more.
  void cancel();
  // Before `resume`: `observer` sees every byte of the body as it goes into the body file, in
  // order, on the delegate queue, with the bytes' offset in the file. Offset 0 starts the file:
  // each time the body begins again the observer is told so with no bytes first.
  using BodyObserver = std::function<void(int64_t offset, std::string_view bytes)>;
  void setBodyObserver(BodyObserver observer);
  // Before `resume`: the ETag of the body the delegate already has a copy of. The task asks for
  // the body only if the server's tag differs (If-None-Match); a server that finds it current
  // answers 304 Not Modified, without a body, which the delegate gets as its first data.
  // Should the delegate not cancel there, the task asks again at once, without the condition.
  // A tag that is not an entity tag (quoted, visible characters, at most 1024) is not sent.
  void setCachedTag(std::string tag);
  // A copy of the server's answer; status 0 and no fields before the first data.
  UrlResponse response() const;
  const std::string& url() const { return url_; }

  struct State;  // owned jointly with the delegate queue
  DownloadTask(std::shared_ptr<UrlSession::Shared> session, std::string url);

 private:
  friend class UrlSession;
  friend struct UrlSession::Shared;
  std::shared_ptr<UrlSession::Shared> session_;
  std::string url_;
  std::shared_ptr<State> state_;
};

}  // namespace host

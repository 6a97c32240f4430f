// The URL session: HTTP and HTTPS downloads on libcurl, with a delegate. A session owns one worker
// thread, its serial delegate queue, where the transfers run and every callback comes, one at a
// time. `cancel` and `invalidateAndCancel` may come from any thread, a callback included: they act
// at once, never wait for the queue, and after them no data or finish callback begins (only the
// task's end, `cancelled`); a callback already under way runs to its end.
//
// A task tries transient failures again and continues a broken body where the server allows it
// (host/attempt_plan.h); its delegate sees one body, and is told of waits and of a body begun anew.
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

// The server's final answer (after redirects), known from the first data (or an empty body's end).
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

  // Bytes of the body arrived (`totalBytesExpectedToWrite` is -1 when unknown). The first data
  // comes at once, and nothing more is read until it returns; later ones come about once a
  // `progressInterval`, and once at the end. A call whose `bytesWritten` equals
  // `totalBytesWritten` is the first data of a body: the task's, or a new answer's after a retry
  // that could not continue it. A 304 to the task's cached tag comes as a first data of no bytes.
  virtual void didWriteData(DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                            int64_t totalBytesExpectedToWrite) = 0;

  // A body begins, its answer known, nothing kept yet. Asked inside the transfer, so quick: false,
  // for a body the delegate expects to abandon, closes the connection at once. The first data
  // comes as always; should the delegate not cancel there, a new attempt follows at once.
  virtual bool shouldReceiveBody(DownloadTask& /*task*/) { return true; }

  // A transient failure (`cause`) ended an attempt; the next, with the body kept, is in `seconds`.
  virtual void willRetry(DownloadTask& /*task*/, const std::string& /*cause*/, int /*seconds*/) {}
  // Once a second while the task waits for its next attempt: the whole seconds left.
  virtual void retryCountdown(DownloadTask& /*task*/, int /*secondsLeft*/) {}

  // The whole body is in `location`, the session's temporary file, removed when this returns.
  virtual void didFinishDownloading(DownloadTask& task, const std::string& location) = 0;

  // The task ended: `error` is empty after a finished download.
  virtual void didComplete(DownloadTask& /*task*/, const std::optional<UrlError>& /*error*/) {}
};

// Besides these, the session follows the environment: SSL_CERT_FILE and SSL_CERT_DIR, read when
// it is made, name the certificate store (host/certificate_store.h); the proxy variables, else
// the desktop's settings, asked once before the first request, choose every task's proxy
// (host/proxy_route.h). Only http and https are fetched, and https never redirects to http.
struct UrlSessionConfiguration {
  // No answer's start, nor 64 KiB of it, for this long is "Timeout was reached": silence and a
  // trickle alike. Time spent in delegate callbacks is not counted.
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
  // Invalidates and cancels, then joins the delegate queue (unless on it); one the kernel holds
  // over a second (opening a certificate file on a hung mount) is left behind, calling no delegate
  // again. Not to be destroyed on the main thread while a callback may wait on the main queue.
  ~UrlSession();
  UrlSession(const UrlSession&) = delete;
  UrlSession& operator=(const UrlSession&) = delete;

  // A new, suspended task for `url`; `resume` starts it. Its callbacks go to `delegate`, else to
  // the session's; either must outlive its last callback.
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
  // Starts the task, once, unless the session is invalidated; a task cancelled before ends so.
  void resume();
  // On the delegate queue it also closes the connection at once, costing the server nothing more.
  void cancel();
  // Before `resume`: `observer` sees every byte of the body as it goes into the file, with its
  // offset; each time the body begins again it is first told so with no bytes at offset 0.
  using BodyObserver = std::function<void(int64_t offset, std::string_view bytes)>;
  void setBodyObserver(BodyObserver observer);
  // Before `resume`: the ETag of the delegate's copy, sent as If-None-Match (unless it is no
  // entity tag); a 304 comes as the first data, and should the delegate not cancel there, the
  // task asks again at once without the condition.
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

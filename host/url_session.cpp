#include "host/url_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <pthread.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <thread>

#include "host/certificate_store.h"
#include "host/download_retry.h"
#include "host/files.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// What libcurl reads at once. (A smaller first read does not help an abandoned download: libcurl
// keeps the size a transfer began with, and the whole download then crawls.)
constexpr long kReadSize = 256L * 1024;

// Owners of libcurl's handles. Every easy handle leaves the multi handle before it goes.
struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlSlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;

bool isHttps(const std::string& url) { return g_ascii_strncasecmp(url.c_str(), "https:", 6) == 0; }

// The task's body on disk, kept from one attempt to the next. Written only here: a new answer
// starts it over, an answer that continues it appends.
class BodyFile {
 public:
  // Makes the file in `directory`; empty when it did, otherwise the cause.
  std::string create(const std::string& directory) {
    std::string path = directory + "/download.XXXXXX";
    int fd = mkostemp(path.data(), O_CLOEXEC | O_APPEND);  // a started agent must not inherit it
    if (fd < 0) return systemError("Could not create a temporary file in " + directory, errno);
    file_.reset(fd);
    path_ = path;
    return "";
  }

  // Empties the file for the body of a new answer.
  bool startOver() {
    if (size_ > 0 && ftruncate(file_.get(), 0) != 0) return false;
    size_ = 0;
    return true;
  }

  bool append(std::string_view bytes) {
    if (!writeAll(file_.get(), bytes)) return false;
    size_ += static_cast<int64_t>(bytes.size());
    return true;
  }

  int64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  void close() { file_.reset(); }
  void remove() {
    file_.reset();
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
  }

 private:
  FileDescriptor file_;
  std::string path_;
  int64_t size_ = 0;
};

// An attempt that is to be made again: why the last one failed, and the seconds to wait.
struct PlannedRetry {
  std::string cause;
  int seconds = 0;
};

}  // namespace

std::optional<std::string> UrlResponse::headerField(std::string_view name) const {
  for (const auto& [field, value] : headerFields) {
    if (field.size() == name.size() && strncasecmp(field.data(), name.data(), name.size()) == 0)
      return value;
  }
  return std::nullopt;
}

struct DownloadTask::State {
  std::atomic<bool> resumed{false};
  std::atomic<bool> cancelled{false};

  mutable std::mutex responseMutex;
  UrlResponse response;  // guarded by responseMutex

  // From here on, the worker thread alone.
  CurlEasy easy;
  CurlSlist requestFields;                 // the attempt's own request fields (If-Range)
  char errorBuffer[CURL_ERROR_SIZE] = {};  // libcurl's detail of a transport error
  bool responseCaptured = false;           // the attempt's answer has been taken
  BodyFile body;
  int64_t pendingBytes = 0;  // written but not yet reported
  int64_t expectedBytes = -1;
  int deliveries = 0;   // of the body as it is: a body begun again has had none
  bool paused = false;  // holding the body back until its first data has been delivered
  UrlSessionDelegate* delegate = nullptr;  // the task's own, else the session's
  std::function<bool()> receivesBody;      // the delegate's shouldReceiveBody for this task
  std::string heldBack;  // the first bytes of a body the delegate expects to abandon
  Clock::time_point lastDelivery;
  Clock::time_point lastActivity;  // last byte from the server, or end of a callback
  std::string failure;             // our own reason for ending the transfer, if any
  DownloadTask::BodyObserver bodyObserver;

  // The attempts (host/download_retry.h).
  RetryPlan retries;
  std::string resumeTag;        // what a later attempt may continue the body with; empty: it cannot
  int64_t announcedTotal = -1;  // the length the answer that began the body gave, or -1
  bool resuming = false;        // this attempt asked for the rest of the body
  bool askWhole = false;     // its 206 was not the rest of this body: the whole is asked for again
  int64_t largestBody = 0;   // the most a body may hold
  std::string cachedTag;     // the condition of the attempts until an answer is taken
  bool notModified = false;  // this attempt's answer: the server found the cached tag current
  int64_t furthest = 0;      // the most bytes the body has held at the end of an attempt
  std::optional<PlannedRetry> plannedRetry;  // this attempt's answer is to be tried again
  bool waiting = false;                      // between two attempts
  Clock::time_point nextAttempt;
  Clock::time_point nextTick;  // of the countdown
  int secondsLeft = 0;

  // Takes the attempt's answer, at its first body byte or, for an empty body, at its end:
  // a transient status to be tried again (false, with `plannedRetry`), the 206 that continues
  // the body, or the start of a new body. False with `failure` when the body cannot be begun.
  bool takeAnswer() {
    UrlResponse answer = readResponse();
    responseCaptured = true;
    if (isTransientStatus(answer.statusCode)) {
      std::optional<int> wait = retries.next(false, retryAfterSeconds(answer));
      if (wait) {
        plannedRetry =
            PlannedRetry{"the server answered " + std::to_string(answer.statusCode), *wait};
        publish(std::move(answer));
        return false;
      }
    }
    // The condition is for the first answer: after it, the task asks for the body as it is.
    notModified = answer.statusCode == 304 && !std::exchange(cachedTag, "").empty();
    if (resuming && answer.statusCode == 206) {
      // Appended only when it is the rest of this very body; otherwise asked for whole, at once.
      if (!continuesBody(answer, body.size(), resumeTag, announcedTotal) ||
          (announcedTotal >= 0 && expectedBytes > announcedTotal - body.size())) {
        resumeTag.clear();
        askWhole = true;
        return false;
      }
      answer.continuesBody = true;
      if (expectedBytes >= 0) expectedBytes += body.size();
    } else if (!body.startOver()) {
      failure = systemError("Could not write the downloaded data", errno);
      return false;
    } else {
      deliveries = 0;
      resumeTag = host::resumeTag(answer);
      announcedTotal = expectedBytes;
      if (bodyObserver) bodyObserver(0, {});  // also when the new body is empty
    }
    if (expectedBytes > largestBody) {
      failure = "the download is " + std::to_string(expectedBytes) + " bytes, more than the " +
                std::to_string(largestBody) + " allowed";
      return false;
    }
    publish(std::move(answer));
    return true;
  }

  // The final response of the attempt as libcurl has it; sets `expectedBytes` to its length.
  UrlResponse readResponse() {
    UrlResponse answer;
    curl_off_t length = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &answer.statusCode);
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    answer.expectedContentLength = expectedBytes = length;
    // The fields of the last response: not of a redirect, nor of an interim one.
    for (curl_header* field = nullptr;
         (field = curl_easy_nextheader(easy.get(), CURLH_HEADER, -1, field)) != nullptr;)
      answer.headerFields.emplace_back(field->name, field->value);
    return answer;
  }

  void publish(UrlResponse answer) {
    std::lock_guard lock(responseMutex);
    response = std::move(answer);
  }

  // Any response header is a sign of life from the server.
  static size_t onHeader(char* /*data*/, size_t size, size_t count, void* user) {
    auto* state = static_cast<State*>(user);
    if (state->cancelled) return 0;
    state->lastActivity = Clock::now();
    return size * count;
  }

  // libcurl's own detail of the failure ("Failed to connect to 127.0.0.1 port 9 after 0 ms:
  // Couldn't connect to server"), else its short text for `code`; in its place for the two
  // failures whose libcurl text would mislead.
  std::string transportError(const std::string& url, CURLcode code) const {
    const char* reached = nullptr;
    curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &reached);
    if (code == CURLE_UNSUPPORTED_PROTOCOL && isHttps(url) && reached && !isHttps(reached))
      return std::string("the redirect from ") + url + " to " + reached +
             " is refused: it would leave https";
    if (code == CURLE_OUT_OF_MEMORY && !responseCaptured)
      return "the response header was too large";
    return errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
  }

  bool keep(std::string_view bytes) {
    const int64_t offset = body.size();
    if (offset + static_cast<int64_t>(bytes.size()) > largestBody) {
      failure = "the download grew past the " + std::to_string(largestBody) + " bytes allowed";
      return false;
    }
    if (!body.append(bytes)) {
      failure = systemError("Could not write the downloaded data", errno);
      return false;
    }
    if (bodyObserver) bodyObserver(offset, bytes);
    pendingBytes += static_cast<int64_t>(bytes.size());
    return true;
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* state = static_cast<State*>(user);
    size_t length = size * count;
    if (state->cancelled) return CURL_WRITEFUNC_ERROR;
    state->lastActivity = Clock::now();
    if (!state->responseCaptured) {
      if (!state->takeAnswer()) return CURL_WRITEFUNC_ERROR;
      // Ending the transfer closes the connection at once; the bytes are kept afterwards.
      if (state->deliveries == 0 && !state->receivesBody()) {
        state->heldBack.assign(data, length);
        return CURL_WRITEFUNC_ERROR;
      }
    }
    // Until the delegate has had the first data, no more is read: what it decides there, an
    // abandoned download above all, must not cost the reads libcurl would make meanwhile.
    // libcurl keeps the refused bytes and hands them over again once resumed.
    if (state->deliveries == 0 && state->body.size() > 0) {
      state->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    return state->keep(std::string_view(data, length)) ? length : CURL_WRITEFUNC_ERROR;
  }
};

struct UrlSession::Shared {
  Shared(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate)
      : configuration(std::move(configuration)),
        delegate(delegate),
        multi(curl_multi_init()),
        temporaryDirectory(this->configuration.temporaryDirectory.empty()
                               ? host::temporaryDirectory()
                               : this->configuration.temporaryDirectory) {
    const char* file = getenv("SSL_CERT_FILE");
    const char* directory = getenv("SSL_CERT_DIR");
    if (file && *file) certificateFile = file;
    if (directory && *directory) certificateDirectory = directory;
    if (certificateFile.empty() && certificateDirectory.empty())
      std::tie(certificateFile, certificateDirectory) = findSystemCertificateStore();
  }

  void wake() {
    if (multi) curl_multi_wakeup(multi.get());
  }

  void run();

  // On the worker, from a delegate callback: the task's connection goes at once.
  void dropConnection(DownloadTask::State& state) {
    if (std::this_thread::get_id() == workerId.load() && state.easy)
      curl_multi_remove_handle(multi.get(), state.easy.get());
  }

  const UrlSessionConfiguration configuration;
  UrlSessionDelegate* const delegate;
  const CurlMulti multi;
  const std::string temporaryDirectory;
  std::string certificateFile;       // SSL_CERT_FILE, read once at the session's start
  std::string certificateDirectory;  // SSL_CERT_DIR, likewise
  std::thread worker;
  std::atomic<std::thread::id> workerId;

  std::mutex mutex;
  std::atomic<bool> invalidated{false};               // set under mutex, read anywhere
  std::vector<std::shared_ptr<DownloadTask>> starts;  // resumed, not yet begun; guarded by mutex

 private:
  void begin(const std::shared_ptr<DownloadTask>& task);
  void startAttempt(const std::shared_ptr<DownloadTask>& task);
  void finish(const std::shared_ptr<DownloadTask>& task, CURLcode result);
  void failAttempt(const std::shared_ptr<DownloadTask>& task, const std::string& cause,
                   bool transient);
  void waitToRetry(const std::shared_ptr<DownloadTask>& task, const PlannedRetry& retry);
  void awaitNextAttempt(const std::shared_ptr<DownloadTask>& task);
  void end(const std::shared_ptr<DownloadTask>& task, std::optional<UrlError> error);
  void deliverProgress(const std::shared_ptr<DownloadTask>& task, bool force);
  std::chrono::milliseconds nextWait() const;
  void afterCallback();

  std::vector<std::shared_ptr<DownloadTask>> active_;  // worker only
};

void UrlSession::Shared::run() {
  pthread_setname_np(pthread_self(), "url-session");
  workerId = std::this_thread::get_id();
  for (;;) {
    std::vector<std::shared_ptr<DownloadTask>> newStarts;
    bool ending;
    {
      std::lock_guard lock(mutex);
      newStarts.swap(starts);
      ending = invalidated;
    }
    for (const auto& task : newStarts) {
      if (ending) task->state_->cancelled = true;
      if (task->state_->cancelled)
        end(task, UrlError{true, "cancelled"});
      else
        begin(task);
    }
    for (const auto& task : std::vector(active_)) {
      if (ending) task->state_->cancelled = true;
      if (task->state_->cancelled) end(task, UrlError{true, "cancelled"});
    }
    // Once invalidated, no task can be resumed any more (see DownloadTask::resume).
    if (ending && active_.empty()) return;

    if (!active_.empty()) {
      int running = 0;
      curl_multi_perform(multi.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        auto it = std::find_if(active_.begin(), active_.end(), [&](const auto& task) {
          return task->state_->easy.get() == message->easy_handle;
        });
        if (it == active_.end()) continue;
        std::shared_ptr<DownloadTask> task = *it;  // `end` erases it from active_
        finish(task, message->data.result);
      }
      const auto idleTimeout = configuration.idleTimeout;
      for (const auto& task : std::vector(active_)) {
        DownloadTask::State& state = *task->state_;
        if (state.cancelled) {
          end(task, UrlError{true, "cancelled"});
          continue;
        }
        if (state.waiting) {
          awaitNextAttempt(task);
          continue;
        }
        deliverProgress(task, false);
        if (state.deliveries > 0 && !state.cancelled && !invalidated) {
          if (state.paused) {
            state.paused = false;
            curl_easy_pause(state.easy.get(), CURLPAUSE_CONT);
          }
        }
        if (Clock::now() - state.lastActivity >= idleTimeout && !state.cancelled)
          failAttempt(task, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT), true);
      }
    }
    int wait = static_cast<int>(nextWait().count());
    if (multi)
      curl_multi_poll(multi.get(), nullptr, 0, wait, nullptr);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  }
}

std::chrono::milliseconds UrlSession::Shared::nextWait() const {
  using std::chrono::milliseconds;
  // With nothing to do the worker sleeps until a wake-up.
  auto wait = milliseconds(active_.empty() ? 10'000 : 1'000);
  const auto now = Clock::now();
  for (const auto& task : active_) {
    const DownloadTask::State& state = *task->state_;
    if (state.waiting) {
      auto next = std::min(state.nextAttempt, state.nextTick) - now;
      wait = std::min(wait, std::chrono::ceil<milliseconds>(next));
      continue;
    }
    auto idleLeft = state.lastActivity + configuration.idleTimeout - now;
    wait = std::min(wait, std::chrono::ceil<milliseconds>(idleLeft));
    if (state.pendingBytes > 0) {
      auto progressLeft = state.lastDelivery + configuration.progressInterval - now;
      wait = std::min(wait, std::chrono::ceil<milliseconds>(progressLeft));
    }
  }
  return std::max(wait, milliseconds(0));
}

void UrlSession::Shared::begin(const std::shared_ptr<DownloadTask>& task) {
  DownloadTask::State& state = *task->state_;
  if (std::string failure = state.body.create(temporaryDirectory); !failure.empty())
    return end(task, UrlError{false, failure});
  state.easy = CurlEasy(curl_easy_init());
  if (!state.easy || !multi)
    return end(task, UrlError{false, curl_easy_strerror(CURLE_OUT_OF_MEMORY)});
  CURL* easy = state.easy.get();
  const UrlSessionConfiguration& c = configuration;
  curl_easy_setopt(easy, CURLOPT_URL, task->url().c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, state.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // An https download never goes on unencrypted.
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                   isHttps(task->url()) ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, c.maximumRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(c.connectTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, c.userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // libcurl does not read these itself; the proxy variables it does read (http_proxy,
  // https_proxy, all_proxy, no_proxy), with credentials in the proxy URL.
  if (!certificateFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, certificateFile.c_str());
  if (!certificateDirectory.empty())
    curl_easy_setopt(easy, CURLOPT_CAPATH, certificateDirectory.c_str());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &DownloadTask::State::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DownloadTask::State::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
  state.largestBody = c.largestBody;
  state.receivesBody = [&state, task = task.get()] {
    return state.delegate->shouldReceiveBody(*task);
  };
  active_.push_back(task);
  startAttempt(task);
}

// The first attempt, or the next after a wait: it asks for the rest of the body when the
// answer that began the body allows it.
void UrlSession::Shared::startAttempt(const std::shared_ptr<DownloadTask>& task) {
  DownloadTask::State& state = *task->state_;
  CURL* easy = state.easy.get();
  curl_multi_remove_handle(multi.get(), easy);  // the last attempt's, if still there
  state.waiting = false;
  state.responseCaptured = false;
  state.plannedRetry.reset();
  state.errorBuffer[0] = '\0';
  state.resuming = !state.resumeTag.empty() && state.body.size() > 0;
  std::string range = std::to_string(state.body.size()) + "-";
  std::string condition = state.resuming             ? "If-Range: " + state.resumeTag
                          : !state.cachedTag.empty() ? "If-None-Match: " + state.cachedTag
                                                     : "";
  state.requestFields.reset(condition.empty() ? nullptr
                                              : curl_slist_append(nullptr, condition.c_str()));
  curl_easy_setopt(easy, CURLOPT_RANGE, state.resuming ? range.c_str() : nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, state.requestFields.get());
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadSize);
  if (CURLMcode code = curl_multi_add_handle(multi.get(), easy); code != CURLM_OK)
    return end(task, UrlError{false, curl_multi_strerror(code)});
  state.lastActivity = Clock::now();
}

void UrlSession::Shared::finish(const std::shared_ptr<DownloadTask>& task, CURLcode result) {
  DownloadTask::State& state = *task->state_;
  if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
  if (std::exchange(state.askWhole, false)) return startAttempt(task);
  if (result != CURLE_OK) {
    // A body closed after its first bytes: they are its first data all the same.
    const bool closedEarly = !state.heldBack.empty();
    if (closedEarly && !state.keep(std::exchange(state.heldBack, "")))
      return end(task, UrlError{false, state.failure});
    // Bytes that came in the same poll as the error are still news to the delegate: the first
    // data is where it decides about the cache, and that must not depend on timing.
    deliverProgress(task, true);
    if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
    // The delegate did not abandon the body after all: the next attempt brings the rest.
    if (closedEarly) return startAttempt(task);
    if (state.plannedRetry) return waitToRetry(task, *state.plannedRetry);
    if (!state.failure.empty()) return failAttempt(task, state.failure, false);
    return failAttempt(task, state.transportError(task->url(), result), isTransientError(result));
  }
  if (!state.responseCaptured && !state.takeAnswer()) {  // an empty body
    if (std::exchange(state.askWhole, false)) return startAttempt(task);
    if (state.plannedRetry) return waitToRetry(task, *state.plannedRetry);
    return end(task, UrlError{false, state.failure});
  }
  if (std::exchange(state.notModified, false)) {
    // The delegate decides on its copy as on a first data; unless it cancels, the body comes.
    ++state.deliveries;
    state.delegate->didWriteData(*task, 0, 0, -1);
    afterCallback();
    if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
    return startAttempt(task);
  }
  deliverProgress(task, true);
  if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
  state.body.close();
  state.delegate->didFinishDownloading(*task, state.body.path());
  afterCallback();
  end(task, std::nullopt);
}

// An attempt failed: a transient failure is tried again while the plan allows, anything else
// ends the task.
void UrlSession::Shared::failAttempt(const std::shared_ptr<DownloadTask>& task,
                                     const std::string& cause, bool transient) {
  DownloadTask::State& state = *task->state_;
  bool progressed = state.body.size() >= state.furthest + kLeastProgress;
  state.furthest = std::max(state.furthest, state.body.size());
  std::optional<int> seconds = transient ? state.retries.next(progressed, {}) : std::nullopt;
  if (!seconds) return end(task, UrlError{false, cause});
  waitToRetry(task, PlannedRetry{cause, *seconds});
}

void UrlSession::Shared::waitToRetry(const std::shared_ptr<DownloadTask>& task,
                                     const PlannedRetry& retry) {
  DownloadTask::State& state = *task->state_;
  curl_multi_remove_handle(multi.get(), state.easy.get());  // the connection goes now
  state.paused = false;
  state.waiting = true;
  state.secondsLeft = retry.seconds;
  const auto now = Clock::now();
  state.nextAttempt = now + retry.seconds * configuration.retrySecond;
  state.nextTick = now + configuration.retrySecond;
  state.delegate->willRetry(*task, retry.cause, retry.seconds);
  afterCallback();
}

// Between two attempts: counts the seconds down, then starts the next.
void UrlSession::Shared::awaitNextAttempt(const std::shared_ptr<DownloadTask>& task) {
  DownloadTask::State& state = *task->state_;
  const auto now = Clock::now();
  if (now >= state.nextAttempt) return startAttempt(task);
  if (now < state.nextTick) return;
  state.nextTick += configuration.retrySecond;
  state.delegate->retryCountdown(*task, --state.secondsLeft);
  afterCallback();
}

// Leaves the transfer, removes the body file and reports the end.
void UrlSession::Shared::end(const std::shared_ptr<DownloadTask>& task,
                             std::optional<UrlError> error) {
  DownloadTask::State& state = *task->state_;
  auto it = std::find(active_.begin(), active_.end(), task);
  if (it != active_.end()) {
    curl_multi_remove_handle(multi.get(), state.easy.get());
    active_.erase(it);
  }
  state.easy.reset();
  state.body.remove();
  state.delegate->didComplete(*task, error);
  afterCallback();
}

void UrlSession::Shared::deliverProgress(const std::shared_ptr<DownloadTask>& task, bool force) {
  DownloadTask::State& state = *task->state_;
  if (state.pendingBytes == 0 || state.cancelled || invalidated) return;
  if (!force && state.deliveries > 0 &&
      Clock::now() - state.lastDelivery < configuration.progressInterval)
    return;
  int64_t bytes = std::exchange(state.pendingBytes, 0);
  ++state.deliveries;
  state.delegate->didWriteData(*task, bytes, state.body.size(), state.expectedBytes);
  state.lastDelivery = Clock::now();
  afterCallback();
}

// The time the delegate took is not the servers' idleness: no transfer moved meanwhile.
void UrlSession::Shared::afterCallback() {
  const auto now = Clock::now();
  for (const auto& task : active_)
    task->state_->lastActivity = std::max(task->state_->lastActivity, now);
}

UrlSession::UrlSession(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate) {
  // libcurl's global state, once per process (thread-safe since libcurl 7.84).
  static std::once_flag transport;
  std::call_once(transport, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  shared_ = std::make_shared<Shared>(std::move(configuration), delegate);
  shared_->worker = std::thread([shared = shared_] { shared->run(); });
}

UrlSession::~UrlSession() {
  invalidateAndCancel();
  if (shared_->worker.get_id() == std::this_thread::get_id())
    shared_->worker.detach();  // the worker holds the state it needs and ends by itself
  else
    shared_->worker.join();
}

std::shared_ptr<DownloadTask> UrlSession::downloadTask(const std::string& url,
                                                       UrlSessionDelegate* delegate) {
  auto task = std::make_shared<DownloadTask>(shared_, url);
  task->state_->delegate = delegate ? delegate : shared_->delegate;
  return task;
}

void UrlSession::invalidateAndCancel() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->invalidated = true;
  }
  shared_->wake();
}

DownloadTask::DownloadTask(std::shared_ptr<UrlSession::Shared> session, std::string url)
    : session_(std::move(session)), url_(std::move(url)), state_(std::make_shared<State>()) {}

void DownloadTask::resume() {
  std::shared_ptr<DownloadTask> self = weak_from_this().lock();
  if (!self || state_->resumed.exchange(true)) return;
  {
    std::lock_guard lock(session_->mutex);
    if (session_->invalidated) return;  // the session takes no new work
    session_->starts.push_back(std::move(self));
  }
  session_->wake();
}

void DownloadTask::cancel() {
  state_->cancelled = true;
  session_->dropConnection(*state_);
  session_->wake();
}

void DownloadTask::setBodyObserver(BodyObserver observer) {
  state_->bodyObserver = std::move(observer);
}

void DownloadTask::setCachedTag(std::string tag) {
  if (isEntityTag(tag)) state_->cachedTag = std::move(tag);
}

UrlResponse DownloadTask::response() const {
  std::lock_guard lock(state_->responseMutex);
  return state_->response;
}

}  // namespace host

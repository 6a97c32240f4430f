#include "host/url_session.h"

#include <curl/curl.h>
#include <glib.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "host/attempt_plan.h"
#include "host/body_file.h"
#include "host/certificate_store.h"
#include "host/curl_handles.h"
#include "host/desktop_proxy.h"
#include "host/files.h"
#include "host/system_log.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// What libcurl reads at once. (A smaller first read does not help an abandoned download: libcurl
// keeps the size a transfer began with, and the whole download then crawls.)
constexpr long kReadSize = 256L * 1024;
constexpr long kConnectTimeoutMs = 30'000;  // for each connection attempt
// What the server must send each idle time-out to count as alive: a trickle counts as silence.
constexpr int64_t kLivelyBytes = 64 * 1024;

UrlError libcurlError(CURLcode code) { return {false, code, curl_easy_strerror(code)}; }

bool isHttps(const std::string& url) { return g_ascii_strncasecmp(url.c_str(), "https:", 6) == 0; }

// What lasts for one attempt: its request, and what its answer meant.
struct Attempt {
  CurlSlist requestFields = {};            // its conditions (If-Range, If-None-Match)
  char errorBuffer[CURL_ERROR_SIZE] = {};  // libcurl's detail of a transport error
  std::optional<AnswerOutcome> answer{};   // what its answer means, once taken
  BodyStatus failure{};                    // why this side ended it, if it did
  std::string heldBack{};  // the first bytes of a body the delegate expects to abandon
  bool paused = false;     // holding the body back until its first data has been delivered
  std::string proxy{};     // the proxy it goes through, as logs show it; empty: directly

  bool answered(AnswerOutcome::Kind kind) const { return answer && answer->kind == kind; }
};

struct RetryWait {
  Clock::time_point nextAttempt;
  Clock::time_point nextTick;  // of the countdown
  int secondsLeft = 0;
};

}  // namespace

struct DownloadTask::State {
  explicit State(int64_t largestBody) : body(largestBody) { plan.largestBody = largestBody; }

  std::atomic<bool> resumed{false};
  std::atomic<bool> cancelled{false};

  mutable std::mutex responseMutex;
  UrlResponse response;  // guarded by responseMutex

  // From here on, the worker thread alone.
  UrlSessionDelegate* delegate = nullptr;  // the task's own, else the session's
  CurlEasy easy;
  BodyFile body;
  AttemptPlan plan;
  int64_t expectedBytes = -1;  // the whole body's length, or -1
  int64_t pendingBytes = 0;    // written but not yet reported
  int deliveries = 0;          // of the body as it is: a body begun again has had none
  Clock::time_point lastDelivery;
  Clock::time_point lastActivity;  // when the server was last heard as alive
  int64_t heardSinceActivity = 0;  // bytes from the server since then
  std::optional<RetryWait> wait;   // between two attempts
  Attempt attempt;

  // Takes the attempt's answer, at its first body byte or, for an empty body, at its end, as
  // the plan reads it; true when its body is to be kept: the task's new body, or the rest of it.
  bool takeAnswer() {
    UrlResponse answer;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &answer.statusCode);
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                      &answer.expectedContentLength);
    // The fields of the last response (not of a redirect, nor of an interim one), without the
    // blanks around their values: libcurl gives an empty value as "\r".
    for (curl_header* field = nullptr;
         (field = curl_easy_nextheader(easy.get(), CURLH_HEADER, -1, field)) != nullptr;) {
      g_autofree gchar* value = g_strstrip(g_strdup(field->value));
      answer.headerFields.emplace_back(field->name, value);
    }
    // libcurl reads seconds or a date, and gives 0 (before 8.12 less for a date past) for none
    // and for one it cannot read: those get the task's own waits, not five retries at once.
    curl_off_t asked = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RETRY_AFTER, &asked);
    const AnswerOutcome& outcome =
        *(attempt.answer = plan.takeAnswer(
              answer, asked > 0 ? std::optional<int64_t>(asked) : std::nullopt, body.size()));
    answer.proxy = attempt.proxy;
    if (outcome.kind == AnswerOutcome::kRetry) publish(std::move(answer));
    attempt.failure = outcome.failure;
    if (outcome.kind == AnswerOutcome::kRetry || outcome.kind == AnswerOutcome::kAskWhole ||
        outcome.kind == AnswerOutcome::kFails)
      return false;
    expectedBytes = outcome.expectedTotal;
    answer.continuesBody = outcome.kind == AnswerOutcome::kContinues;
    if (!answer.continuesBody) {
      if (attempt.failure = body.startOver(); !attempt.failure.ok()) return false;
      deliveries = 0;
    }
    publish(std::move(answer));
    return true;
  }

  void publish(UrlResponse answer) {
    std::lock_guard lock(responseMutex);
    response = std::move(answer);
  }

  // libcurl's own detail of the failure, else its short text for `code` (without the password
  // of a proxy address it repeats); in its place for the two whose libcurl text would mislead.
  std::string transportError(const std::string& url, CURLcode code) const {
    const char* reached = nullptr;
    curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &reached);
    if (code == CURLE_UNSUPPORTED_PROTOCOL && isHttps(url) && reached && !isHttps(reached))
      return "the redirect from " + redactedUrl(url) + " to " + redactedUrl(reached) +
             " is refused: it would leave https";
    if (code == CURLE_OUT_OF_MEMORY && !attempt.answer) return "the response header was too large";
    return withProxiesRedacted(attempt.errorBuffer[0] != '\0' ? attempt.errorBuffer
                                                              : curl_easy_strerror(code));
  }

  void heard(int64_t bytes) {
    if ((heardSinceActivity += bytes) < kLivelyBytes) return;
    heardSinceActivity = 0;
    lastActivity = Clock::now();
  }

  bool keep(std::string_view bytes) {
    if (attempt.failure = body.append(bytes); !attempt.failure.ok()) return false;
    pendingBytes += static_cast<int64_t>(bytes.size());
    return true;
  }

  static size_t onHeader(char* /*data*/, size_t size, size_t count, void* user) {
    State& state = *static_cast<DownloadTask*>(user)->state_;
    if (state.cancelled) return 0;
    state.heard(size * count);
    return size * count;
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    DownloadTask& task = *static_cast<DownloadTask*>(user);
    State& state = *task.state_;
    const std::string_view bytes(data, size * count);
    if (state.cancelled) return CURL_WRITEFUNC_ERROR;
    // The first bytes of an answer are a sign of life, whatever their number.
    state.heard(state.attempt.answer ? bytes.size() : kLivelyBytes);
    if (!state.attempt.answer) {
      if (!state.takeAnswer()) return CURL_WRITEFUNC_ERROR;
      // Ending the transfer closes the connection at once; the bytes are kept afterwards.
      if (state.deliveries == 0 && !state.delegate->shouldReceiveBody(task)) {
        state.attempt.heldBack = bytes;
        return CURL_WRITEFUNC_ERROR;
      }
    }
    // Until the delegate has had the first data (where it may abandon the download) no more is
    // read; libcurl keeps the refused bytes and hands them over again once resumed.
    if (state.deliveries == 0 && state.body.size() > 0) {
      state.attempt.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    return state.keep(bytes) ? bytes.size() : CURL_WRITEFUNC_ERROR;
  }
};

struct UrlSession::Shared {
  using Task = std::shared_ptr<DownloadTask>;

  Shared(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate)
      : configuration(std::move(configuration)),
        delegate(delegate),
        multi(curl_multi_init()),
        certificates(certificateStore()) {}

  void run() {
    pthread_setname_np(pthread_self(), "url-session");
    workerId = std::this_thread::get_id();
    for (;;) {
      std::unique_lock lock(mutex);
      const std::vector<Task> newStarts = std::exchange(starts, {});
      const bool ending = invalidated;
      lock.unlock();
      // Asked once, for the first task, before its first request (Ctrl-C ends the question).
      if (!route && !newStarts.empty()) route = chooseProxyRoute(newStarts[0]->url(), proxies);
      for (const Task& task : newStarts)
        if (!endedByCancel(task)) begin(task);
      for (const Task& task : std::vector(active_)) endedByCancel(task);
      // Once invalidated, no task can be resumed any more (see DownloadTask::resume).
      if (ending && active_.empty()) return workerEnd.set_value();
      int running = 0;
      curl_multi_perform(multi.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        DownloadTask* task = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &task);
        if (message->msg == CURLMSG_DONE) finish(task->shared_from_this(), message->data.result);
      }
      for (const Task& task : std::vector(active_)) tend(task);
      int wait = static_cast<int>(nextWait().count());
      if (multi)
        curl_multi_poll(multi.get(), nullptr, 0, wait, nullptr);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
  }

  const UrlSessionConfiguration configuration;
  UrlSessionDelegate* const delegate;
  const CurlMulti multi;
  const std::pair<std::string, std::string> certificates;  // read once, at the session's start
  std::thread worker;
  std::atomic<std::thread::id> workerId;
  std::promise<void> workerEnd;       // kept as the worker's loop ends
  std::recursive_mutex delegateCall;  // held while the worker calls a delegate

  std::mutex mutex;
  std::atomic<bool> invalidated{false};  // set under mutex, read anywhere
  std::vector<Task> starts;              // resumed, not yet begun; guarded by mutex
  DesktopProxyQuestion proxies;          // cancelled with the session
  std::optional<ProxyRoute> route;       // worker only: every task's, once chosen

 private:
  // A turn of the loop for a task between two attempts or in one.
  void tend(const Task& task) {
    DownloadTask::State& state = *task->state_;
    if (endedByCancel(task)) return;
    if (state.wait) return awaitNextAttempt(task);
    if (!deliverProgress(task, false)) return;
    if (state.deliveries > 0 && std::exchange(state.attempt.paused, false))
      curl_easy_pause(state.easy.get(), CURLPAUSE_CONT);
    if (Clock::now() - state.lastActivity >= configuration.idleTimeout)
      retryOrEnd(task, libcurlError(CURLE_OPERATION_TIMEDOUT),
                 state.plan.waitAfterFailure(true, state.body.size()));
  }

  // Until the next moment a task needs the worker; with nothing to do it sleeps until a wake-up.
  std::chrono::milliseconds nextWait() const {
    const auto now = Clock::now();
    auto next = now + std::chrono::seconds(active_.empty() ? 10 : 1);
    for (const Task& task : active_) {
      const DownloadTask::State& state = *task->state_;
      const auto progress = state.lastDelivery + configuration.progressInterval;
      if (state.wait)
        next = std::min({next, state.wait->nextAttempt, state.wait->nextTick});
      else
        next = std::min({next, state.lastActivity + configuration.idleTimeout,
                         state.pendingBytes > 0 ? progress : next});
    }
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(next - now), {});
  }

  void begin(const Task& task) {
    DownloadTask::State& state = *task->state_;
    if (BodyStatus created = state.body.create(configuration.temporaryDirectory); !created.ok())
      return end(task, UrlError{false, 0, state.body.describe(created)});
    state.easy = CurlEasy(curl_easy_init());
    if (!state.easy || !multi) return end(task, libcurlError(CURLE_OUT_OF_MEMORY));
    CURL* easy = state.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, task->url().c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, state.attempt.errorBuffer);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     isHttps(task->url()) ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "bootstrap-installer/" INSTALLER_VERSION);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);  // no wait for a name server that is silent
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, configuration.maximumRedirects);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadSize);
    if (CertificateStatus store = useCertificateStore(easy, certificates); !store.ok())
      return end(task, UrlError{false, 0, describe(store)});
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &DownloadTask::State::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, task.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DownloadTask::State::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, task.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, task.get());
    active_.push_back(task);
    startAttempt(task);
  }

  // The first attempt, or the next: it asks for what the plan says.
  void startAttempt(const Task& task) {
    DownloadTask::State& state = *task->state_;
    if (endedByCancel(task)) return;
    CURL* easy = state.easy.get();
    curl_multi_remove_handle(multi.get(), easy);  // the last attempt's, if still there
    state.wait.reset();
    state.attempt = {.proxy = route->shown(state.plan.proxy)};
    route->apply(easy, state.plan.proxy);
    RequestConditions conditions = state.plan.nextRequest(state.body.size());
    if (!conditions.field.empty())
      state.attempt.requestFields.reset(curl_slist_append(nullptr, conditions.field.c_str()));
    curl_easy_setopt(easy, CURLOPT_RANGE,
                     conditions.range.empty() ? nullptr : conditions.range.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, state.attempt.requestFields.get());
    if (CURLMcode code = curl_multi_add_handle(multi.get(), easy); code != CURLM_OK)
      return end(task, UrlError{false, 0, curl_multi_strerror(code)});
    state.lastActivity = Clock::now();
    state.heardSinceActivity = 0;
  }

  void finish(const Task& task, CURLcode result) {
    DownloadTask::State& state = *task->state_;
    Attempt& attempt = state.attempt;
    if (endedByCancel(task)) return;
    if (result == CURLE_OK && !attempt.answer) state.takeAnswer();  // an empty body's
    // A part of the rest that stops short of the whole: the next attempt goes on from there.
    if (result == CURLE_OK && attempt.answered(AnswerOutcome::kContinues) &&
        state.body.size() < state.expectedBytes)
      result = CURLE_PARTIAL_FILE;
    if (attempt.answered(AnswerOutcome::kAskWhole)) return startAttempt(task);
    // A body closed after its first bytes: they are its first data all the same.
    const bool closedEarly = !attempt.heldBack.empty();
    if (closedEarly) state.keep(std::exchange(attempt.heldBack, ""));
    // Bytes that came with the end are news too: the first data's decision must not hang on timing.
    if (!deliverProgress(task, true)) return;
    if (!attempt.failure.ok())
      return end(task, UrlError{false, 0, state.body.describe(attempt.failure)});
    if (closedEarly) return startAttempt(task);
    if (attempt.answered(AnswerOutcome::kRetry))
      return retryOrEnd(
          task, {false, 0, "the server answered " + std::to_string(task->response().statusCode)},
          attempt.answer->seconds);
    if (result != CURLE_OK && route->fallBack(result, &state.plan.proxy)) return startAttempt(task);
    if (result != CURLE_OK) {
      UrlError failure{false, result, state.transportError(task->url(), result)};
      // A proxy's answer to CONNECT, when one was asked: a refusal is judged by its status.
      curl_easy_getinfo(state.easy.get(), CURLINFO_HTTP_CONNECTCODE, &failure.proxyStatus);
      const bool transient = isTransientFailure(result, failure.proxyStatus);
      return retryOrEnd(task, failure, state.plan.waitAfterFailure(transient, state.body.size()));
    }
    if (attempt.answered(AnswerOutcome::kNotModified)) {
      ++state.deliveries;
      callDelegate([&] { state.delegate->didWriteData(*task, 0, 0, -1); });
      return startAttempt(task);
    }
    state.body.close();
    callDelegate([&] { state.delegate->didFinishDownloading(*task, state.body.path()); });
    end(task, std::nullopt);
  }

  // Waits `seconds` for the next attempt, or ends the task with `failure` when none is to be made.
  void retryOrEnd(const Task& task, UrlError failure, std::optional<int> seconds) {
    DownloadTask::State& state = *task->state_;
    if (!seconds) return end(task, std::move(failure));
    curl_multi_remove_handle(multi.get(), state.easy.get());  // the connection goes now
    const auto now = Clock::now();
    state.wait = RetryWait{now + *seconds * configuration.retrySecond,
                           now + configuration.retrySecond, *seconds};
    callDelegate([&] { state.delegate->willRetry(*task, failure.description, *seconds); });
  }

  // Between two attempts: counts the seconds down, then starts the next.
  void awaitNextAttempt(const Task& task) {
    DownloadTask::State& state = *task->state_;
    const auto now = Clock::now();
    if (now >= state.wait->nextAttempt) return startAttempt(task);
    if (now < state.wait->nextTick) return;
    state.wait->nextTick += configuration.retrySecond;
    callDelegate([&] { state.delegate->retryCountdown(*task, --state.wait->secondsLeft); });
  }

  // Ends a task that was cancelled, or whose session was; true when it did.
  bool endedByCancel(const Task& task) {
    if (!task->state_->cancelled && !invalidated) return false;
    end(task, UrlError{true, 0, "cancelled"});
    return true;
  }

  void end(const Task& task, std::optional<UrlError> error) {
    DownloadTask::State& state = *task->state_;
    std::erase(active_, task);
    if (error) error->proxy = state.attempt.proxy;
    curl_multi_remove_handle(multi.get(), state.easy.get());
    state.easy.reset();
    state.body.remove();
    callDelegate([&] { state.delegate->didComplete(*task, error); });
  }

  // Reports the bytes kept since the last report, the first at once and the others once a
  // progress interval unless `force`d; false when the task was cancelled, and so has ended.
  bool deliverProgress(const Task& task, bool force) {
    DownloadTask::State& state = *task->state_;
    if (endedByCancel(task)) return false;
    const bool due = force || state.deliveries == 0 ||
                     Clock::now() - state.lastDelivery >= configuration.progressInterval;
    if (state.pendingBytes == 0 || !due) return true;
    int64_t bytes = std::exchange(state.pendingBytes, 0);
    ++state.deliveries;
    callDelegate([&] {
      state.delegate->didWriteData(*task, bytes, state.body.size(), state.expectedBytes);
    });
    state.lastDelivery = Clock::now();
    return !endedByCancel(task);
  }

  // The time the delegate takes is not the servers' idleness: no transfer moves meanwhile.
  template <typename Call>
  void callDelegate(Call call) {
    std::lock_guard calling(delegateCall);
    const auto began = Clock::now();
    call();
    const auto took = Clock::now() - began;
    for (const Task& task : active_) task->state_->lastActivity += took;
  }

  std::vector<Task> active_;  // worker only
};

UrlSession::UrlSession(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate) {
  // libcurl's global state, once per process (thread-safe since libcurl 7.84).
  [[maybe_unused]] static const CURLcode transport = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (configuration.temporaryDirectory.empty())
    configuration.temporaryDirectory = temporaryDirectory();
  shared_ = std::make_shared<Shared>(std::move(configuration), delegate);
  shared_->worker = std::thread([shared = shared_] { shared->run(); });
}

UrlSession::~UrlSession() {
  invalidateAndCancel();
  std::future<void> ended = shared_->workerEnd.get_future();
  bool onWorker = shared_->worker.get_id() == std::this_thread::get_id();
  if (!onWorker && ended.wait_for(std::chrono::seconds(1)) == std::future_status::ready)
    shared_->worker.join();
  else if (!onWorker)  // held in the kernel (opening a certificate file on a hung mount)
    shared_->delegateCall.lock();  // for good: the worker left behind calls no delegate again
  if (shared_->worker.joinable()) shared_->worker.detach();  // it holds the state it needs
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
  shared_->proxies.cancel();
  curl_multi_wakeup(shared_->multi.get());
}

DownloadTask::DownloadTask(std::shared_ptr<UrlSession::Shared> session, std::string url)
    : session_(std::move(session)),
      url_(std::move(url)),
      state_(std::make_shared<State>(session_->configuration.largestBody)) {}

void DownloadTask::resume() {
  std::shared_ptr<DownloadTask> self = weak_from_this().lock();
  if (!self || state_->resumed.exchange(true)) return;
  {
    std::lock_guard lock(session_->mutex);
    if (session_->invalidated) return;
    session_->starts.push_back(std::move(self));
  }
  curl_multi_wakeup(session_->multi.get());
}

void DownloadTask::cancel() {
  state_->cancelled = true;
  if (std::this_thread::get_id() == session_->workerId.load() && state_->easy)
    curl_multi_remove_handle(session_->multi.get(), state_->easy.get());
  curl_multi_wakeup(session_->multi.get());
}

void DownloadTask::setBodyObserver(BodyObserver watch) { state_->body.observer = std::move(watch); }

void DownloadTask::setCachedTag(std::string tag) {
  if (isEntityTag(tag)) state_->plan.cachedTag = std::move(tag);
}

UrlResponse DownloadTask::response() const {
  std::lock_guard lock(state_->responseMutex);
  return state_->response;
}

}  // namespace host

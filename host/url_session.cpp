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
#include <mutex>
#include <thread>

#include "host/files.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// Owners of libcurl's handles. Every easy handle leaves the multi handle before it goes.
struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;

bool isHttps(const std::string& url) { return g_ascii_strncasecmp(url.c_str(), "https:", 6) == 0; }

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
  char errorBuffer[CURL_ERROR_SIZE] = {};  // libcurl's detail of a transport error
  bool responseCaptured = false;
  FileDescriptor file;
  std::string path;
  int64_t totalBytes = 0;    // written to the file
  int64_t pendingBytes = 0;  // written but not yet reported
  int64_t expectedBytes = -1;
  int deliveries = 0;
  bool paused = false;  // holding the body back until the first data has been delivered
  Clock::time_point lastDelivery;
  Clock::time_point lastActivity;  // last byte from the server, or end of a callback
  std::string failure;             // our own reason for ending the transfer, if any
  DownloadTask::BodyObserver bodyObserver;

  // Takes the final response's status, fields and length; called before the first data.
  void captureResponse() {
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    expectedBytes = length;
    responseCaptured = true;
    std::vector<std::pair<std::string, std::string>> fields;
    // The fields of the last response: not of a redirect, nor of an interim one.
    for (curl_header* field = nullptr;
         (field = curl_easy_nextheader(easy.get(), CURLH_HEADER, -1, field)) != nullptr;)
      fields.emplace_back(field->name, field->value);
    std::lock_guard lock(responseMutex);
    response.statusCode = status;
    response.expectedContentLength = length;
    response.headerFields = std::move(fields);
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

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* state = static_cast<State*>(user);
    size_t length = size * count;
    if (state->cancelled) return CURL_WRITEFUNC_ERROR;
    state->lastActivity = Clock::now();
    if (!state->responseCaptured) state->captureResponse();
    // Until the delegate has had the first data, no more is read: what it decides there, an
    // abandoned download above all, must not cost the reads libcurl would make meanwhile.
    // libcurl keeps the refused bytes and hands them over again once resumed.
    if (state->deliveries == 0 && state->totalBytes > 0) {
      state->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (!writeAll(state->file.get(), std::string_view(data, length))) {
      state->failure = systemError("Could not write the downloaded data", errno);
      return CURL_WRITEFUNC_ERROR;
    }
    if (state->bodyObserver) state->bodyObserver(state->totalBytes, std::string_view(data, length));
    state->totalBytes += static_cast<int64_t>(length);
    state->pendingBytes += static_cast<int64_t>(length);
    return length;
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
  }

  void wake() {
    if (multi) curl_multi_wakeup(multi.get());
  }

  void run();

  const UrlSessionConfiguration configuration;
  UrlSessionDelegate* const delegate;
  const CurlMulti multi;
  const std::string temporaryDirectory;
  std::string certificateFile;       // SSL_CERT_FILE, read once at the session's start
  std::string certificateDirectory;  // SSL_CERT_DIR, likewise
  std::thread worker;

  std::mutex mutex;
  std::atomic<bool> invalidated{false};               // set under mutex, read anywhere
  std::vector<std::shared_ptr<DownloadTask>> starts;  // resumed, not yet begun; guarded by mutex

 private:
  void begin(const std::shared_ptr<DownloadTask>& task);
  void finish(const std::shared_ptr<DownloadTask>& task, CURLcode result);
  void end(const std::shared_ptr<DownloadTask>& task, std::optional<UrlError> error);
  void deliverProgress(const std::shared_ptr<DownloadTask>& task, bool force);
  std::chrono::milliseconds nextWait() const;
  void afterCallback();

  std::vector<std::shared_ptr<DownloadTask>> active_;  // worker only
};

void UrlSession::Shared::run() {
  pthread_setname_np(pthread_self(), "url-session");
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
        deliverProgress(task, false);
        if (state.paused && state.deliveries > 0 && !state.cancelled && !invalidated) {
          state.paused = false;
          curl_easy_pause(state.easy.get(), CURLPAUSE_CONT);
        }
        if (Clock::now() - state.lastActivity >= idleTimeout)
          end(task, UrlError{false, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)});
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
  std::string path = temporaryDirectory + "/download.XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);  // a started agent must not inherit it
  if (fd < 0) {
    std::string where = "Could not create a temporary file in " + temporaryDirectory;
    return end(task, UrlError{false, systemError(where, errno)});
  }
  state.file.reset(fd);
  state.path = path;
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
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  // libcurl does not read these itself; the proxy variables it does read (http_proxy,
  // https_proxy, all_proxy, no_proxy), with credentials in the proxy URL.
  if (!certificateFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, certificateFile.c_str());
  if (!certificateDirectory.empty())
    curl_easy_setopt(easy, CURLOPT_CAPATH, certificateDirectory.c_str());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &DownloadTask::State::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DownloadTask::State::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
  if (CURLMcode code = curl_multi_add_handle(multi.get(), easy); code != CURLM_OK)
    return end(task, UrlError{false, curl_multi_strerror(code)});
  state.lastActivity = Clock::now();
  active_.push_back(task);
}

void UrlSession::Shared::finish(const std::shared_ptr<DownloadTask>& task, CURLcode result) {
  DownloadTask::State& state = *task->state_;
  if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
  if (result != CURLE_OK) {
    // Bytes that came in the same poll as the error are still news to the delegate: the first
    // data is where it decides about the cache, and that must not depend on timing.
    deliverProgress(task, true);
    if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
    std::string reason =
        state.failure.empty() ? state.transportError(task->url(), result) : state.failure;
    return end(task, UrlError{false, reason});
  }
  if (!state.responseCaptured) state.captureResponse();  // an empty body
  deliverProgress(task, true);
  if (state.cancelled || invalidated) return end(task, UrlError{true, "cancelled"});
  state.file.reset();
  delegate->didFinishDownloading(*task, state.path);
  afterCallback();
  end(task, std::nullopt);
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
  state.file.reset();
  if (!state.path.empty()) unlink(state.path.c_str());
  state.path.clear();
  delegate->didComplete(*task, error);
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
  delegate->didWriteData(*task, bytes, state.totalBytes, state.expectedBytes);
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

std::shared_ptr<DownloadTask> UrlSession::downloadTask(const std::string& url) {
  return std::make_shared<DownloadTask>(shared_, url);
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
  session_->wake();
}

void DownloadTask::setBodyObserver(BodyObserver observer) {
  state_->bodyObserver = std::move(observer);
}

UrlResponse DownloadTask::response() const {
  std::lock_guard lock(state_->responseMutex);
  return state_->response;
}

}  // namespace host

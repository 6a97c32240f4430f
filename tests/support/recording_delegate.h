// A URL session delegate for tests: records every callback, and lets a test act inside one.
//
// Callbacks come on the session's delegate queue; a test reads what was recorded after
// `waitForCompletion`, or under `lock()` while the task runs. At the finish it keeps the
// body file's path and content (or, with `verifyGenerated`, only checks the file against the
// test server's generated body, so a big download costs no memory).
//
// Example:
//   RecordingDelegate delegate;
//   host::UrlSession session({}, &delegate);
//   auto task = session.downloadTask(server.url("/agent.zip"));
//   task->resume();
//   ASSERT_TRUE(delegate.waitForCompletion());
//   EXPECT_EQ(delegate.body(), "archive bytes");
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/url_session.h"

namespace testsupport {

class RecordingDelegate : public host::UrlSessionDelegate {
 public:
  struct Data {
    int64_t bytesWritten;
    int64_t totalBytesWritten;
    int64_t totalBytesExpectedToWrite;
    std::chrono::steady_clock::time_point at;  // when the call came
  };

  // Hooks, called on the delegate queue after the call has been recorded (so a test woken by
  // a wait may find its hook still running).
  std::function<void(host::DownloadTask&, const Data&)> onData;
  std::function<void(host::DownloadTask&, const std::string&)> onFinish;
  std::function<void(host::DownloadTask&)> onComplete;
  // The answer to shouldReceiveBody (true without it).
  std::function<bool(host::DownloadTask&)> receivesBody;

  // At the finish, compare the file with the generated body instead of keeping it.
  bool verifyGenerated = false;

  void didWriteData(host::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloading(host::DownloadTask& task, const std::string& location) override;
  void didComplete(host::DownloadTask& task, const std::optional<host::UrlError>& error) override;
  bool shouldReceiveBody(host::DownloadTask& task) override;
  void willRetry(host::DownloadTask& task, const std::string& cause, int seconds) override;
  void retryCountdown(host::DownloadTask& task, int secondsLeft) override;

  // Waits until didComplete came; false after `timeout`.
  bool waitForCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until `call` ("data", "finish", "complete") came `times` times; false after `timeout`.
  bool waitForCalls(const std::string& call, int times,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until some data came; false after `timeout`.
  bool waitForData(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // What was recorded; read after completion, or under lock().
  std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
  const std::vector<Data>& data() const { return data_; }
  int64_t bytesDelivered() const;
  // The calls in order: "data", "finish", "complete", and "retry N" and "countdown N" with
  // their seconds.
  const std::vector<std::string>& calls() const { return calls_; }
  bool finished() const { return finished_; }
  const std::string& location() const { return location_; }  // the finish's file
  const std::string& body() const { return body_; }          // its content then
  bool generatedBodyMatched() const { return generatedMatched_; }
  bool locationExistedAtFinish() const { return locationExisted_; }
  bool completed() const { return completed_; }
  const std::optional<host::UrlError>& error() const { return error_; }
  // The response as the task gave it inside the first data call (or the finish, if none).
  const host::UrlResponse& firstResponse() const { return firstResponse_; }
  // The threads that delivered callbacks.
  const std::set<std::thread::id>& threads() const { return threads_; }
  // A callback came after didComplete, or a data or finish call after the finish.
  bool outOfOrder() const { return outOfOrder_; }

 private:
  void note(host::DownloadTask& task, const char* call);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Data> data_;
  std::vector<std::string> calls_;
  bool finished_ = false;
  std::string location_;
  std::string body_;
  bool generatedMatched_ = false;
  bool locationExisted_ = false;
  bool completed_ = false;
  std::optional<host::UrlError> error_;
  bool haveResponse_ = false;
  host::UrlResponse firstResponse_;
  std::set<std::thread::id> threads_;
  bool outOfOrder_ = false;
};

}  // namespace testsupport

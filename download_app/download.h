// The download window's object: it downloads the agent archive, decides on its first data
// whether the cached agent is current, shows the download in the window and hands over to the
// agent. The cache is provisioning/agent_cache.h's, the signature's check signed_archive.h's.
// One `Download` lives for one run of the download window, the delegate of the application,
// the window and the archive's task. `init`, `applicationDidFinishLaunching`, `windowWillClose`
// and `failure` run on the main thread; the session callbacks and `fireInstallAgent` run on
// the session's delegate queue and reach the controls only through the main queue
// (host/application.h), in callback order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "download_app/controls.h"
#include "download_app/failures.h"
#include "host/process.h"
#include "host/url_session.h"
#include "platform/location.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_start.h"
#include "provisioning/message.h"
#include "provisioning/signed_archive.h"

namespace download_app {

// What one run of the download window is asked to do.
struct DownloadRequest {
  // Where the archive belongs: the session keeps its file in this file's directory (the run's
  // temporary directory), so nothing is left behind when the driver removes it.
  std::string to;
  std::string from;        // the URL of the agent archive
  std::string fromSource;  // where the URL came from, for messages about it
  AgentArguments agent;    // what the agent is started with
  // The vendor's keys: with any, the archive is used only when its signature holds under one of
  // them, and a cached agent only when the proof kept beside it does
  // (provisioning/signed_archive.h).
  SigningKeys signingKeys;
  // The session's waits; its temporary directory and progress interval are the download's.
  host::UrlSessionConfiguration session = {};
  std::optional<Failure> failure = {};           // shown instead of a download
  MessageCallback report = report_message_main;  // for what unzip has to say
  // The run's cache, its trust checked when it was made.
  std::shared_ptr<AgentCache> cache = std::make_shared<AgentCache>();
};

class Download : public host::UrlSessionDelegate, public WindowDelegate {
 public:
  explicit Download(DownloadRequest request);
  ~Download() override;
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // Puts the connected controls into their first state ("Downloading" over a bar from 0 to
  // 100, Return presses the button) and takes the archive's destination from the request.
  void init();

  // Shows the splash when the bundle's resources hold "splash.png", then starts the download
  // from the request's URL. Without a main bundle it shows a failure instead.
  void applicationDidFinishLaunching();

  // Cancels the task, invalidates the session and stops the application loop: with a non-zero
  // status exactly when the agent has been handed over. Afterwards no agent is started.
  void windowWillClose() override;

  // Shows `message` in `color` over a full, stopped bar; the button reads "Close". A window
  // that closes after a failure (the terminal) is then closed.
  void failure(const std::string& message, TextColor color);

  // Starts the download task for `url` on a new session. An empty URL, or one that is not
  // http or https, is shown as a failure and nothing is downloaded.
  void downloadFromURL(const std::string& url);

  // The session's callbacks, on its delegate queue.
  void didWriteData(host::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloading(host::DownloadTask& task, const std::string& location) override;
  void didComplete(host::DownloadTask& task, const std::optional<host::UrlError>& error) override;
  // False when the cache seems to hold the agent of the answer's ETag already: a hint taken
  // without the cache's lock, which the first data's decision then makes sure of.
  bool shouldReceiveBody(host::DownloadTask& task) override;
  // While a retry waits, the status text counts down the seconds over the bar as it was.
  void willRetry(host::DownloadTask& task, const std::string& cause, int seconds) override;
  void retryCountdown(host::DownloadTask& task, int secondsLeft) override;

  // Starts the cached agent as the request says (provisioning/agent_start.h), without waiting
  // for it. True when it runs; false when there is no agent on disk, the shell could not be
  // started, or the window has already closed.
  bool fireInstallAgent();

  // The connections the main interface makes. The controls are owned by the main interface,
  // which outlives this object; the window is not owned either.
  void setProgress(ProgressBar* progress) { progress_ = progress; }
  void setImage(ImageView* image) { image_ = image; }
  void setDownloadPercent(StatusText* text) { downloadPercent_ = text; }
  void setWindow(Window* window) { window_ = window; }
  const std::string& installAgentLocation() const { return installAgentLocation_; }
  void setCancel(Button* button) { cancel_ = button; }

  // Where the splash is looked up: the process's main bundle unless a test sets another (or
  // none) before `applicationDidFinishLaunching`.
  void setMainBundle(std::optional<MainBundle> bundle) { bundle_ = std::move(bundle); }

  // True once the agent has been handed over.
  bool handedOver() const { return handedOver_; }
  // The agent started by `fireInstallAgent`, taken once.
  std::optional<host::Process> takeAgent();
  // Invalidates the session and waits for the delegate queue (for the end of a run).
  void finishSession();

 private:
  // On the first data of a body: the status, the cache's trust and lock, then whether the
  // cached agent is current for the server's ETag (it starts, and the download is abandoned)
  // or goes. True when the download goes on.
  bool decideOnFirstData();
  void startCachedAgent();
  // Shows `stage` over a busy bar, after the bytes not yet shown, with Cancel enabled when
  // `cancellable`. False when the window has closed.
  bool showBusy(Stage stage, bool cancellable);
  bool windowClosed() const { return windowClosed_; }
  // Shows `text` as the status, over the bar as it is.
  void showStatus(const std::string& text);
  void redraw();
  // Logs the failure unless it has been reported, and shows it unless the window has closed.
  void showFailure(const Failure& failure);
  // Cancels the task, and the session on the main thread.
  void endSession();
  // Shows `failure`, lets the cache go and ends the session: the download does not go on
  // (false).
  bool abandon(const Failure& failure);
  // The archive has arrived whole, and with a signing key its signature holds (`proof`):
  // it goes into the cache with its tag and the agent starts.
  void installArchive(const std::string& archive, const std::optional<std::string>& proof);
  // The signature's check has ended.
  void signatureChecked(const SignatureCheck::Outcome& outcome);

  const DownloadRequest request_;
  ProgressBar* progress_ = nullptr;
  ImageView* image_ = nullptr;
  int64_t fileLength_ = -1;
  StatusText* downloadPercent_ = nullptr;
  Window* window_ = nullptr;
  std::shared_ptr<host::DownloadTask> theDownload_;
  std::string installAgentLocation_;
  Button* cancel_ = nullptr;
  std::string validationString_;
  std::unique_ptr<host::UrlSession> urlSession_;

  std::optional<MainBundle> bundle_;
  bool sawFirstData_ = false;     // delegate queue only: the first-data decision was made
  std::string likelyCurrentTag_;  // the cached agent's tag until then, read without the lock
  int64_t unshownBytes_ = 0;      // delegate queue only: received, not yet on the bar
  AgentCache& cache_;             // delegate queue only, while the session lives
  std::unique_ptr<SignatureCheck> signatureCheck_;

  // Written under the mutex, which orders a hand-over against the window's close; read anywhere.
  std::mutex handOverMutex_;
  std::atomic<bool> windowClosed_ = false;
  std::atomic<bool> handedOver_ = false;
  std::optional<host::Process> agent_;
};

}  // namespace download_app

#include "download_app/download.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "download_app/translation.h"
#include "host/application.h"
#include "host/files.h"
#include "host/system_log.h"

namespace download_app {

Download::Download(DownloadRequest request)
    : request_(std::move(request)), bundle_(mainBundle()), cache_(*request_.cache) {}

Download::~Download() { finishSession(); }

void Download::finishSession() {
  if (urlSession_) urlSession_->invalidateAndCancel();
  urlSession_.reset();  // joins the delegate queue
  cache_.unlock();      // a run that gave up lets the others go on
  signatureCheck_.reset();
}

void Download::init() {
  progress_->setDoubleValue(0.0);
  progress_->setMaxValue(100.0);
  progress_->setUsesThreadedAnimation(true);
  downloadPercent_->setUsesSingleLineMode(true);
  downloadPercent_->setStringValue(stageText(Stage::kDownloading));
  installAgentLocation_ = request_.to;
  cancel_->setKeyEquivalent("\r");
}

void Download::applicationDidFinishLaunching() {
  // Without a bundle there are no resources to hand to an agent: say so instead of waiting.
  if (!bundle_) return showFailure(noBundleFailure());
  if (request_.failure) return showFailure(*request_.failure);
  // An agent in a cache that another user can change is never started, nor downloaded.
  if (!cache_.trust().ok()) return showFailure(untrustedCacheFailure(cache_.trust()));
  std::filesystem::path splash = std::filesystem::path(bundle_->resourcePath) / "splash.png";
  if (!bundle_->resourcePath.empty() && host::pathExists(splash)) {
    image_->setScalesProportionally(true);
    image_->setEditable(false);
    image_->setImage(Image{splash, 400, 400});
  }
  downloadFromURL(request_.from);
}

void Download::windowWillClose() {
  std::unique_lock lock(handOverMutex_);
  windowClosed_ = true;
  const int status = handedOver_ ? 1 : 0;
  lock.unlock();
  if (urlSession_) urlSession_->invalidateAndCancel();
  host::stopApplication(status);
}

void Download::failure(const std::string& message, TextColor color) {
  cancel_->setTitle(translate("Close"));
  cancel_->setEnabled(true);  // also after a failure while the agent was being unpacked
  progress_->stopAnimation();
  progress_->setIndeterminate(false);
  progress_->setDoubleValue(progress_->maxValue());
  downloadPercent_->setStringValue(message);
  downloadPercent_->setTextColor(color);
  redraw();  // a window no user can close then closes (controls.h)
}

void Download::downloadFromURL(const std::string& url) {
  if (std::optional<Failure> unusable = addressFailure(url, request_.fromSource))
    return showFailure(*unusable);
  if (std::optional<std::string> note = plainHttpNote(url, !request_.signingKeys.empty()))
    host::systemLog("%s", note->c_str());
  host::UrlSessionConfiguration configuration = request_.session;
  configuration.temporaryDirectory = directoryOfPath(request_.to);
  // Each delivery of progress is a trip to the main thread while the download waits; a bar
  // and a status line gain nothing from more than ten redraws a second.
  configuration.progressInterval = std::chrono::milliseconds{100};
  try {
    urlSession_ = std::make_unique<host::UrlSession>(configuration, this);
    theDownload_ = urlSession_->downloadTask(url);
    signatureCheck_ = std::make_unique<SignatureCheck>(
        request_.signingKeys, [this](const SignatureCheck::Outcome& o) { signatureChecked(o); });
  } catch (const std::system_error& error) {  // no thread to download on (a process limit)
    return showFailure(transportFailure(error.what()));
  }
  // A server that finds the cached agent current answers without the archive
  // (shouldReceiveBody stops one that comes all the same).
  likelyCurrentTag_ = cache_.likelyCurrentTag(signatureCheck_->proofCheck());
  theDownload_->setCachedTag(likelyCurrentTag_);
  signatureCheck_->observe(*theDownload_);
  theDownload_->resume();
}

void Download::didWriteData(host::DownloadTask&, int64_t bytesWritten, int64_t totalBytesWritten,
                            int64_t totalBytesExpectedToWrite) {
  const bool first = bytesWritten == totalBytesWritten;
  if (first && !decideOnFirstData()) return;
  // One trip to the main thread for each delivery, the first included, but not for the one
  // that completes a known length: the finish follows at once and shows it.
  if (!first && totalBytesWritten == totalBytesExpectedToWrite) {
    unshownBytes_ += bytesWritten;
    return;
  }
  int64_t length = fileLength_;
  // The download goes on while the main thread loads or draws the window.
  host::postToMain([this, bytesWritten, first, length] {
    if (first) {
      progress_->setDoubleValue(0.0);
      if (length != -1) progress_->setMaxValue(static_cast<double>(length));
      progress_->setIndeterminate(length == -1);
    }
    downloadPercent_->setStringValue(stageText(Stage::kDownloading));
    progress_->incrementBy(static_cast<double>(bytesWritten));
    redraw();
  });
}

bool Download::decideOnFirstData() {
  host::UrlResponse response = theDownload_->response();
  long status = response.statusCode;
  // Only a whole answer is the archive: not an error page, whatever proxy or server sent it,
  // nor a part of a body. A 304 answers the cached tag the download asked with.
  const bool notModified = status == 304 && !likelyCurrentTag_.empty();
  if (status != 200 && !notModified)
    return abandon(statusFailure(status, false, response.proxy, theDownload_->url()));
  // A 304 without an ETag (or with an empty one) answers for the tag asked with.
  std::string tag = response.headerField("ETag").value_or("");
  if (tag.empty() && notModified) tag = likelyCurrentTag_;
  fileLength_ = response.expectedContentLength;
  // The same archive again from its start, from a server that cannot continue one: decided.
  if (sawFirstData_ && tag == validationString_) return true;
  sawFirstData_ = true;
  likelyCurrentTag_.clear();  // from here on the decision itself knows
  validationString_ = tag;
  auto waiting = [this] {
    host::systemLog("%s", waitingNote().c_str());
    showStatus(stageText(Stage::kWaiting));
  };
  // A window closed while another installer holds the cache ends the wait, and the run.
  using Verdict = AgentCache::Verdict;
  const AgentCache::Decision decision =
      cache_.decide(tag, signatureCheck_->proofCheck(), waiting,
                    [this] { return windowClosed() || !host::applicationIsRunning(); });
  if (decision.verdict == Verdict::kCurrent) startCachedAgent();
  if (decision.verdict == Verdict::kUnlockable)
    return abandon(cacheFailure(decision.whyUnlockable));
  if (decision.verdict == Verdict::kHeldAbove) return abandon(nestedRunFailure());
  if (decision.verdict != Verdict::kStale) return false;
  const SignatureStatus& why = signatureCheck_->proofProblem();
  if (std::optional<std::string> note = staleAgentNote(decision.gap, why, cache_.directory()))
    host::systemLog("%s", note->c_str());
  signatureCheck_->fetchSignature(*urlSession_, theDownload_->url(), decision.keptProof);
  return true;
}

void Download::startCachedAgent() {
  // The connection goes first: while it stays open the server keeps sending.
  theDownload_->cancel();
  bool started = fireInstallAgent();
  cache_.unlock();
  endSession();
  if (!started) return showFailure(startFailure());
  host::runOnMain([this] { window_->close(); });
}

bool Download::shouldReceiveBody(host::DownloadTask& task) {
  // Every moment the connection stays open costs the server more of an archive that is not
  // needed: a string compare here, the file system at the first data.
  if (likelyCurrentTag_.empty()) return true;
  host::UrlResponse response = task.response();
  return response.statusCode != 200 || response.headerField("ETag") != likelyCurrentTag_;
}

void Download::willRetry(host::DownloadTask& task, const std::string& cause, int seconds) {
  host::systemLog("%s", retryNote(cause, seconds).c_str());
  retryCountdown(task, seconds);
}

void Download::retryCountdown(host::DownloadTask&, int secondsLeft) {
  // The bar keeps the bytes it has: the next attempt goes on from there when it can.
  showStatus(retryText(secondsLeft));
}

void Download::didFinishDownloading(host::DownloadTask&, const std::string& location) {
  host::UrlResponse response = theDownload_->response();
  // A 206 counts only as the rest of an archive whose start earlier attempts brought.
  if (response.statusCode != 200 && !response.continuesBody)
    return showFailure(
        statusFailure(response.statusCode, true, response.proxy, theDownload_->url()));
  // An empty archive brings no first data: it is decided on here.
  std::error_code error;
  if (std::filesystem::file_size(location, error) == 0 && !decideOnFirstData()) return;
  // Until the signature holds, Cancel still ends the run.
  if (signatureCheck_->verifies() && !showBusy(Stage::kVerifying, true)) return;
  signatureCheck_->archiveArrived(location);
}

void Download::signatureChecked(const SignatureCheck::Outcome& outcome) {
  if (!outcome.status.ok()) {
    abandon(verificationFailure(theDownload_->url(), outcome.status));
    return;
  }
  if (outcome.trustedComment) host::systemLog("%s", signatureNote(*outcome.trustedComment).c_str());
  if (showBusy(Stage::kInitializing, false)) installArchive(outcome.archive, outcome.proof);
}

bool Download::showBusy(Stage stage, bool cancellable) {
  return host::runOnMain(
      [this, text = stageText(stage), cancellable, unshownBytes = std::exchange(unshownBytes_, 0)] {
        progress_->incrementBy(static_cast<double>(unshownBytes));
        downloadPercent_->setStringValue(text);
        progress_->setIndeterminate(true);
        progress_->startAnimation();
        cancel_->setEnabled(cancellable);
        redraw();
      });
}

void Download::installArchive(const std::string& archive, const std::optional<std::string>& proof) {
  if (windowClosed()) return;  // the run has ended: nothing more goes into the cache
  const auto installed = cache_.install(archive, validationString_, proof, request_.report);
  bool started = installed.ok() && fireInstallAgent();
  cache_.unlock();
  if (!installed.ok()) return showFailure(cacheFailure(installed));
  if (!started) return showFailure(startFailure());
  host::stopApplication(1);  // the window closes as soon as the loop has stopped
}

void Download::didComplete(host::DownloadTask&, const std::optional<host::UrlError>& error) {
  // An archive that waits for its signature keeps the cache locked.
  if (!signatureCheck_->holdsArchive()) cache_.unlock();
  // The signature's download ends too: its own end would call the archive not the vendor's.
  if (error && !error->cancelled) abandon(transportFailure(*error, theDownload_->url()));
}

void Download::showFailure(const Failure& failure) {
  if (failure.logged) host::systemLog("%s", failure.logged->c_str());
  host::runOnMain([this, shown = failure.shown] {
    if (!windowClosed()) this->failure(shown, TextColor::Red);
  });
}

bool Download::abandon(const Failure& failure) {
  showFailure(failure);
  cache_.unlock();
  endSession();
  return false;
}

void Download::endSession() {
  theDownload_->cancel();
  // The session is the main thread's: it ends it when the window's run is over.
  host::runOnMain([this] { urlSession_->invalidateAndCancel(); });
}

bool Download::fireInstallAgent() {
  // The agent may write to the terminal at once, or show a window of its own: ours goes first.
  host::runOnMain([this] { window_->hide(); });
  std::lock_guard<std::mutex> lock(handOverMutex_);
  // One agent per run, and none once the window has closed.
  if (windowClosed_ || handedOver_) return false;
  installAgentLocation_ = cache_.hasAgent() ? (cache_.agentDirectory() / "").string() : "";
  if (installAgentLocation_.empty()) return false;
  host::Process agent = startInstallAgent(cache_.agentExecutable(), request_.agent);
  if (!agent.started()) return false;
  // No other run removes or replaces the files it runs from until it has ended.
  agent.keepWhileRunning(cache_.passLock());
  agent_ = agent;
  handedOver_ = true;
  return true;
}

void Download::showStatus(const std::string& text) {
  host::runOnMain([this, text] {
    downloadPercent_->setStringValue(text);
    redraw();
  });
}

void Download::redraw() {
  window_->layoutIfNeeded();
  window_->setViewsNeedDisplay(true);
}

std::optional<host::Process> Download::takeAgent() {
  std::lock_guard<std::mutex> lock(handOverMutex_);
  return std::exchange(agent_, std::nullopt);
}

}  // namespace download_app

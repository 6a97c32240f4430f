#include "download_app/download.h"

#include <glib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "host/application.h"
#include "host/files.h"
#include "host/system_log.h"
#include "platform/constants.h"
#include "platform/location.h"
#include "platform/temp_dir.h"
#include "provisioning/cache.h"
#include "provisioning/message.h"
#include "provisioning/unzip.h"

namespace download_app {

namespace {

namespace fs = std::filesystem;

// For tests: the session's idle time-out, and how long a second of the waits before a retry
// lasts, in milliseconds.
constexpr char kIdleTimeoutVariable[] = "__VL_DOWNLOAD_IDLE_TIMEOUT_MS__";
constexpr char kRetrySecondVariable[] = "__VL_DOWNLOAD_RETRY_SECOND_MS__";
constexpr std::chrono::milliseconds kLockPollInterval{50};
// Each delivery of progress is a trip to the main thread while the download waits; a bar and a
// status line gain nothing from more than ten redraws a second.
constexpr std::chrono::milliseconds kProgressInterval{100};
constexpr char kWaitingText[] = "Waiting for another installer to finish";
constexpr char kUnpackingPrefix[] = ".unpacking-";
constexpr char kUnzipFailure[] = "Failed to unzip the installer.";
constexpr char kRetryingFormat[] = "Download interrupted. Retrying in %d s…";

// The status text while the download waits to try again, `seconds` before it does.
std::string retryingText(int seconds) {
  gchar* text = g_strdup_printf(kRetryingFormat, seconds);
  std::string result(text);
  g_free(text);
  return result;
}

// A duration in milliseconds from the environment variable `name`, when it holds one.
std::optional<std::chrono::milliseconds> millisecondsFromEnvironment(const char* name) {
  const char* value = getenv(name);
  if (!value || atoll(value) <= 0) return std::nullopt;
  return std::chrono::milliseconds(atoll(value));
}

// Why the agent unpacked in `dir` cannot be started, or empty: its entry file must be a
// regular file, or a link to one inside `dir`.
std::string entryFileProblem(const std::string& dir) {
  std::error_code ec, targetError, dirError;
  fs::path entry = getInstallAgentExecutable(dir);
  if (!fs::exists(fs::symlink_status(entry, ec)))
    return "The install agent archive has no file \"install\" at its top level.";
  fs::path target = fs::canonical(entry, targetError);
  fs::path inside = fs::canonical(dir, dirError) / "";
  if (targetError || dirError || !fs::is_regular_file(target, ec) ||
      !target.string().starts_with(inside.string()))
    return "\"install\" in the install agent archive is not a regular file.";
  return "";
}

// Only http and https can be downloaded, and a URL holds no blank or control character.
bool isDownloadableUrl(const std::string& url) {
  size_t colon = url.find("://");
  std::string scheme = url.substr(0, colon);
  if (colon == std::string::npos || colon + 3 >= url.size() ||
      (g_ascii_strcasecmp(scheme.c_str(), "http") != 0 &&
       g_ascii_strcasecmp(scheme.c_str(), "https") != 0))
    return false;
  return std::none_of(url.begin(), url.end(),
                      [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

}  // namespace

Download::Download(DownloadRequest request)
    : request_(std::move(request)), bundle_(host::mainBundle()) {}

Download::~Download() { finishSession(); }

void Download::finishSession() {
  if (urlSession_) urlSession_->invalidateAndCancel();
  urlSession_.reset();  // joins the delegate queue
  cacheLock_.unlock();  // a run that gave up lets the others go on
}

void Download::init() {
  progress_->setDoubleValue(0.0);
  progress_->setMaxValue(100.0);
  progress_->setUsesThreadedAnimation(true);
  downloadPercent_->setUsesSingleLineMode(true);
  downloadPercent_->setStringValue("Downloading");
  installAgentLocation_ = request_.to;
  sessionDirectory_ = directoryOfPath(request_.to);
  cancel_->setKeyEquivalent("\r");
}

void Download::applicationDidFinishLaunching() {
  if (!bundle_) {
    // Without a bundle there are no resources to hand to an agent: say so instead of waiting.
    const char* message = "The installer is not inside an application bundle.";
    host::systemLog("%s", message);
    failure(message, TextColor::Red);
    return;
  }
  std::string splash = bundle_->resourcePath + "/splash.png";
  if (!bundle_->resourcePath.empty() && host::pathExists(splash) && image_) {
    Image loaded{splash, 400, 400};
    image_->setScalesProportionally(true);
    image_->setEditable(false);
    image_->setImage(loaded);
    redraw();
  }
  downloadFromURL(request_.from);
}

void Download::windowWillClose() {
  int status;
  {
    std::lock_guard<std::mutex> lock(handOverMutex_);
    windowClosed_ = true;
    status = handedOver_ ? 1 : 0;
  }
  if (theDownload_) theDownload_->cancel();
  if (urlSession_) urlSession_->invalidateAndCancel();
  host::stopApplication(status);
}

void Download::failure(const std::string& message, TextColor color) {
  if (cancel_) cancel_->setTitle("Close");
  if (progress_) {
    progress_->stopAnimation();
    progress_->setIndeterminate(false);
    progress_->setDoubleValue(progress_->maxValue());
  }
  if (downloadPercent_) {
    downloadPercent_->setStringValue(message);
    downloadPercent_->setTextColor(color);
  }
  if (window_) {
    redraw();
    if (closesAfterFailure_) {
      // After whatever the caller still draws on this turn of the loop.
      Window* window = window_;
      host::postToMain([window] { window->close(); });
    }
  }
}

void Download::downloadFromURL(const std::string& url) {
  if (!isDownloadableUrl(url)) {
    std::string message =
        url.empty() ? "Download failed: no download address in " + request_.fromSource + "."
                    : "Download failed: the download address in " + request_.fromSource +
                          " is not an http or https URL.";
    host::systemLog("%s", message.c_str());
    failure(message, TextColor::Red);
    return;
  }
  host::UrlSessionConfiguration configuration =
      host::UrlSessionConfiguration::defaultConfiguration();
  // The archive stays in the run's own temporary directory, which the driver removes.
  configuration.temporaryDirectory = sessionDirectory_;
  configuration.progressInterval = kProgressInterval;
  configuration.idleTimeout =
      millisecondsFromEnvironment(kIdleTimeoutVariable).value_or(configuration.idleTimeout);
  configuration.retrySecond =
      millisecondsFromEnvironment(kRetrySecondVariable).value_or(configuration.retrySecond);
  // Read before the answer comes, for shouldReceiveBody.
  if (!installAgentDirOnDisk().empty())
    likelyCurrentTag_ = storedValidationString(getInstallAgentCacheDir());
  urlSession_ = std::make_unique<host::UrlSession>(configuration, this);
  theDownload_ = urlSession_->downloadTask(url);
  theDownload_->resume();
}

void Download::didWriteData(host::DownloadTask& /*task*/, int64_t bytesWritten,
                            int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
  // The first data of the download, or of a new answer that began the archive again.
  const bool first = bytesWritten == totalBytesWritten;
  if (first && !decideOnFirstData()) return;
  // One trip to the main thread for each delivery, the first included, but not for the one
  // that completes a known length: the finish follows at once and shows it.
  if (!first && totalBytesWritten == totalBytesExpectedToWrite) {
    unshownBytes_ += bytesWritten;
    return;
  }
  int64_t length = fileLength_;
  host::runOnMain([this, bytesWritten, first, length] {
    if (first) {
      progress_->setDoubleValue(0.0);
      if (length == -1) {
        progress_->setIndeterminate(true);
      } else {
        progress_->setMaxValue(static_cast<double>(length));
        progress_->setIndeterminate(false);
      }
    }
    downloadPercent_->setStringValue("Downloading");
    progress_->incrementBy(static_cast<double>(bytesWritten));
    redraw();
  });
}

bool Download::decideOnFirstData() {
  host::UrlResponse response = theDownload_->response();
  long status = response.statusCode;
  // Only a whole answer is the archive: not an error page, whatever proxy or server sent it,
  // nor a part of a body, nor an empty one.
  if (status != 200) {
    showFailure("Download failed with error code " + std::to_string(status),
                "Download failed with http error code- " + std::to_string(status));
    endSession();
    return false;
  }
  std::string tag = response.headerField("ETag").value_or("");
  fileLength_ = response.expectedContentLength;
  // The same archive again from its start, from a server that cannot continue one: decided.
  if (sawFirstData_ && tag == validationString_) return true;
  sawFirstData_ = true;
  likelyCurrentTag_.clear();  // from here on the decision itself knows
  validationString_ = tag;
  std::string cacheDir = getInstallAgentCacheDir();
  // A cache that another user could change is neither started nor filled.
  CacheTrust trust = checkCacheTrust();
  if (!trust.trusted()) {
    showFailure(untrustedCacheMessage(trust), untrustedCacheMessage(trust));
    endSession();
    return false;
  }
  // From this decision to the hand-over the cache is this run's alone.
  if (!lockCache(cacheDir)) return false;
  removeUnfinishedUnpacking(cacheDir);
  std::string agentDir = installAgentDirOnDisk();
  if (!agentDir.empty() && isCacheValid(cacheDir, validationString_)) {
    // The connection goes first: while it stays open the server keeps sending.
    theDownload_->cancel();
    bool started = fireInstallAgent();
    cacheLock_.unlock();
    endSession();
    if (!started) {
      showFailure("Failed to start the install agent");
    } else {
      host::runOnMain([this] { window_->close(); });
    }
    return false;
  }
  // The directory itself, or the link that stands in its place, not what it points to.
  if (!agentDir.empty()) removeTree(cacheDir + INSTALL_AGENT_DIR);
  // No tag from the server: no stored tag may vouch for what is downloaded now.
  if (validationString_.empty()) removeTree(validationStringPath(cacheDir));
  return true;
}

bool Download::shouldReceiveBody(host::DownloadTask& task) {
  // Every moment the connection stays open costs the server more of an archive that is not
  // needed: a string compare here, the file system at the first data.
  if (likelyCurrentTag_.empty()) return true;
  host::UrlResponse response = task.response();
  return response.statusCode != 200 || response.headerField("ETag") != likelyCurrentTag_;
}

void Download::willRetry(host::DownloadTask& /*task*/, const std::string& cause, int seconds) {
  host::systemLog("Download interrupted: %s. Retrying in %d s", cause.c_str(), seconds);
  retryCountdown(*theDownload_, seconds);
}

void Download::retryCountdown(host::DownloadTask& /*task*/, int secondsLeft) {
  // The bar keeps the bytes it has: the next attempt goes on from there when it can.
  host::runOnMain([this, secondsLeft] {
    downloadPercent_->setStringValue(retryingText(secondsLeft));
    redraw();
  });
}

void Download::didFinishDownloading(host::DownloadTask& /*task*/, const std::string& location) {
  host::UrlResponse response = theDownload_->response();
  long status = response.statusCode;
  // A 206 counts only as the rest of an archive whose start earlier attempts brought.
  if (status != 200 && !response.continuesBody) {
    return showFailure("Download failed with error code " + std::to_string(status),
                       "Download failed! Error code- " + std::to_string(status));
  }
  int64_t unshown = std::exchange(unshownBytes_, 0);
  bool running = host::runOnMain([this, unshown] {
    progress_->incrementBy(static_cast<double>(unshown));
    downloadPercent_->setStringValue("Initializing the installer");
    progress_->setIndeterminate(true);
    progress_->startAnimation();
    cancel_->setEnabled(false);
    redraw();
  });
  // A window closed meanwhile ended the run: nothing more goes into the cache.
  if (!running || windowClosed()) return;

  std::string cacheDir = getInstallAgentCacheDir();
  writeValidationString(cacheDir, validationString_);
  std::string unpackFailure = unpackIntoCache(location, cacheDir);
  bool started = unpackFailure.empty() && fireInstallAgent();
  cacheLock_.unlock();
  if (unpackFailure == kUnzipFailure) return showFailure(unpackFailure);
  if (!unpackFailure.empty()) return showFailure(unpackFailure, unpackFailure);
  if (!started) return showFailure("Failed to start the install agent");
  // The loop stops at once, and the window closes as soon as it has stopped
  // (CallNSApplicationMain): it never stays the three seconds a delayed close would give it.
  host::stopApplication(1);
}

void Download::didComplete(host::DownloadTask& /*task*/,
                           const std::optional<host::UrlError>& error) {
  cacheLock_.unlock();
  if (!error || error->cancelled) return;
  std::string message = "Download failed: " + error->description;
  showFailure(message, message);
}

void Download::showFailure(const std::string& message, const std::string& logged) {
  if (!logged.empty()) host::systemLog("%s", logged.c_str());
  host::runOnMain([this, message] {
    if (!windowClosed()) failure(message, TextColor::Red);
  });
}

void Download::endSession() {
  theDownload_->cancel();
  // The session is the main thread's: it ends it when the window's run is over.
  host::runOnMain([this] { urlSession_->invalidateAndCancel(); });
}

bool Download::lockCache(const std::string& cacheDir) {
  bool waiting = false;
  for (;;) {
    // Without a lock file no agent can be unpacked there either: the steps that follow fail.
    if (cacheLock_.tryLock(cacheDir) != CacheLock::Result::kBusy) return true;
    if (!waiting) {
      waiting = true;
      host::systemLog("%s", kWaitingText);
      host::runOnMain([this] {
        downloadPercent_->setStringValue(kWaitingText);
        redraw();
      });
    }
    // A window closed meanwhile ends the wait, and the run.
    if (windowClosed() || !host::applicationIsRunning()) return false;
    std::this_thread::sleep_for(kLockPollInterval);
  }
}

void Download::removeUnfinishedUnpacking(const std::string& cacheDir) {
  // Under the lock no other run unpacks or writes a tag: what is there was left by a run that
  // died.
  const std::string unpacking = std::string(INSTALL_AGENT_DIR) + kUnpackingPrefix;
  const std::string tag = std::string(VALIDATION_STRING_FILE) + ".";
  std::string dir = cacheDir;
  if (!dir.ends_with('/')) dir += '/';
  for (const std::string& name : host::listDirectory(dir)) {
    if (name.starts_with(unpacking) || name.starts_with(tag)) removeTree(dir + name);
  }
}

std::string Download::unpackIntoCache(const std::string& archive, const std::string& cacheDir) {
  std::string agentDir = cacheDir + INSTALL_AGENT_DIR;
  // A fresh directory beside the agent directory, so a half-unpacked agent never counts.
  std::string fresh = agentDir + kUnpackingPrefix + "XXXXXX";
  if (!mkdtemp(fresh.data()))
    return host::systemError("Could not make a directory in " + cacheDir, errno);
  std::string failure;
  if (!unzipInstallAgent(archive, fresh, "unzip", report_message_main)) {
    failure = kUnzipFailure;
  } else if (std::string problem = entryFileProblem(fresh); !problem.empty()) {
    failure = problem;
  } else if (!removeTree(agentDir)) {
    failure = "Could not remove the old install agent in " + agentDir;
  } else if (rename(fresh.c_str(), agentDir.c_str()) != 0) {
    failure = host::systemError("Could not put the install agent in place at " + agentDir, errno);
  }
  if (failure.empty()) return "";
  removeTree(fresh);
  // A tag may stand beside no agent, but never vouch for a broken or an older one.
  if (failure != kUnzipFailure) removeTree(validationStringPath(cacheDir));
  return failure;
}

bool Download::fireInstallAgent() {
  std::lock_guard<std::mutex> lock(handOverMutex_);
  // One agent per run, and none once the window has closed.
  if (windowClosed_ || handedOver_) return false;
  std::string agentDir = installAgentDirOnDisk();
  installAgentLocation_ = agentDir;
  if (agentDir.empty()) return false;
  host::Process agent = startInstallAgent(getInstallAgentExecutable(agentDir), request_.agent);
  if (!agent.started()) return false;
  agent_ = agent;
  handedOver_ = true;
  return true;
}

void Download::redraw() {
  if (!window_) return;
  window_->layoutIfNeeded();
  window_->setViewsNeedDisplay(true);
}

bool Download::windowClosed() const {
  std::lock_guard<std::mutex> lock(handOverMutex_);
  return windowClosed_;
}

bool Download::handedOver() const {
  std::lock_guard<std::mutex> lock(handOverMutex_);
  return handedOver_;
}

std::optional<host::Process> Download::takeAgent() {
  std::lock_guard<std::mutex> lock(handOverMutex_);
  return std::exchange(agent_, std::nullopt);
}

}  // namespace download_app

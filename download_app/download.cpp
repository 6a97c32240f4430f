#include "download_app/download.h"

#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "download_app/translation.h"
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
constexpr const char* kWaitingText = N_("Waiting for another installer to finish");
constexpr char kUnpackingPrefix[] = ".unpacking-";
constexpr const char* kUnzipFailure = N_("Failed to unzip the installer.");
constexpr const char* kUnzipToolMissing =
    N_("Could not unpack the installer: the program unzip is missing. Install the package "
       "\"unzip\" and try again.");
constexpr const char* kVerificationFailure = N_("Failed to verify the installer.");
constexpr const char* kVerifyingText = N_("Verifying the installer…");
constexpr const char* kInitializingText = N_("Initializing the installer");
constexpr const char* kStatusFailure = N_("Download failed with error code %ld");
constexpr const char* kStartFailure = N_("Failed to start the install agent");
constexpr const char* kRetryingFormat = N_("Download interrupted. Retrying in %d s…");
constexpr char kSignatureSuffix[] = ".minisig";
// A signature file is four short lines; a larger answer is not one.
constexpr int64_t kMostSignatureBytes = 64 * 1024;

// A text in the user's language and in English.
Download::Failure failureText(const char* text) { return {translate(text), text}; }

// The same, `format` filled in with the same arguments in both.
template <typename... Arguments>
Download::Failure failureText(const char* format, Arguments... arguments) {
  gchar* english = g_strdup_printf(format, arguments...);
  Download::Failure failure{formatText(translate(format), arguments...), english};
  g_free(english);
  return failure;
}

// Why the agent unpacked in `dir` cannot be started, or nothing: its entry file must be a
// regular file, or a link to one inside `dir`.
const char* entryFileProblem(const std::string& dir) {
  std::error_code ec, targetError, dirError;
  fs::path entry = getInstallAgentExecutable(dir);
  if (!fs::exists(fs::symlink_status(entry, ec)))
    return N_("The install agent archive has no file \"install\" at its top level.");
  fs::path target = fs::canonical(entry, targetError);
  fs::path inside = fs::canonical(dir, dirError) / "";
  if (targetError || dirError || !fs::is_regular_file(target, ec) ||
      !target.string().starts_with(inside.string()))
    return N_("\"install\" in the install agent archive is not a regular file.");
  return nullptr;
}

// The archive's file name, as a signature's trusted comment names it: the last segment of the
// URL's path, percent-decoded.
std::string archiveName(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  std::string segment = path.substr(path.rfind('/') + 1);
  gchar* decoded = g_uri_unescape_string(segment.c_str(), nullptr);
  std::string name = decoded ? decoded : segment;
  g_free(decoded);
  return name;
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

std::optional<std::chrono::milliseconds> millisecondsFromEnvironment(const char* name) {
  const char* value = getenv(name);
  if (!value || atoll(value) <= 0) return std::nullopt;
  return std::chrono::milliseconds(atoll(value));
}

Download::Download(DownloadRequest request)
    : request_(std::move(request)), bundle_(host::mainBundle()) {}

Download::~Download() { finishSession(); }

void Download::finishSession() {
  if (urlSession_) urlSession_->invalidateAndCancel();
  urlSession_.reset();  // joins the delegate queue
  cacheLock_.unlock();  // a run that gave up lets the others go on
  // An archive that waited in vain for its signature.
  if (!archiveAwaitingSignature_.empty()) unlink(archiveAwaitingSignature_.c_str());
}

void Download::init() {
  progress_->setDoubleValue(0.0);
  progress_->setMaxValue(100.0);
  progress_->setUsesThreadedAnimation(true);
  downloadPercent_->setUsesSingleLineMode(true);
  downloadPercent_->setStringValue(translate("Downloading"));
  installAgentLocation_ = request_.to;
  sessionDirectory_ = directoryOfPath(request_.to);
  cancel_->setKeyEquivalent("\r");
}

void Download::applicationDidFinishLaunching() {
  if (!bundle_) {
    // Without a bundle there are no resources to hand to an agent: say so instead of waiting.
    const char* message = N_("The installer is not inside an application bundle.");
    host::systemLog("%s", message);
    failure(translate(message), TextColor::Red);
    return;
  }
  std::string splash = bundle_->resourcePath + "/splash.png";
  if (!bundle_->resourcePath.empty() && host::pathExists(splash) && image_) {
    Image loaded{splash, 400, 400};
    image_->setScalesProportionally(true);
    image_->setEditable(false);
    image_->setImage(loaded);
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
  if (cancel_) {
    cancel_->setTitle(translate("Close"));
    cancel_->setEnabled(true);  // also after a failure while the agent was being unpacked
  }
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
    Failure message =
        failureText(url.empty() ? N_("Download failed: no download address in %s.")
                                : N_("Download failed: the download address in %s is not an "
                                     "http or https URL."),
                    request_.fromSource.c_str());
    host::systemLog("%s", message.logged.c_str());
    failure(message.shown, TextColor::Red);
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
  // Read before the request: it asks only for an archive with another tag (shouldReceiveBody
  // stops one that comes all the same).
  std::string cacheDir = getInstallAgentCacheDir();
  if (!installAgentDirOnDisk().empty()) {
    std::string tag = storedValidationString(cacheDir);
    if (unprovenCachedAgent(cacheDir, tag).empty()) likelyCurrentTag_ = tag;
  }
  urlSession_ = std::make_unique<host::UrlSession>(configuration, this);
  theDownload_ = urlSession_->downloadTask(url);
  // A server that finds the cached agent current answers without the archive.
  theDownload_->setCachedTag(likelyCurrentTag_);
  if (!request_.signingKeys.empty()) {
    digest_ = std::make_unique<ArchiveDigest>();
    theDownload_->setBodyObserver([digest = digest_.get()](int64_t offset, std::string_view bytes) {
      if (offset == 0) digest->restart();
      digest->add(bytes);
    });
  }
  theDownload_->resume();
}

void Download::didWriteData(host::DownloadTask& task, int64_t bytesWritten,
                            int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
  if (&task != theDownload_.get()) {
    std::string problem = signatureAnswerProblem(task, totalBytesWritten);
    if (!problem.empty()) signatureMissing(task, problem);
    return;
  }
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
  // Without waiting: the download goes on while the main thread loads or draws the window.
  host::postToMain([this, bytesWritten, first, length] {
    if (first) {
      progress_->setDoubleValue(0.0);
      if (length == -1) {
        progress_->setIndeterminate(true);
      } else {
        progress_->setMaxValue(static_cast<double>(length));
        progress_->setIndeterminate(false);
      }
    }
    downloadPercent_->setStringValue(translate("Downloading"));
    progress_->incrementBy(static_cast<double>(bytesWritten));
    redraw();
  });
}

bool Download::decideOnFirstData() {
  host::UrlResponse response = theDownload_->response();
  long status = response.statusCode;
  // Only a whole answer is the archive: not an error page, whatever proxy or server sent it,
  // nor a part of a body, nor an empty one. A 304 answers the cached tag the download asked
  // with: the server finds that agent current.
  const bool notModified = status == 304 && !likelyCurrentTag_.empty();
  if (status != 200 && !notModified) {
    showFailure(formatText(translate(kStatusFailure), status),
                "Download failed with http error code- " + std::to_string(status));
    endSession();
    return false;
  }
  std::string tag = response.headerField("ETag").value_or(notModified ? likelyCurrentTag_ : "");
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
    showFailure(formatText(translate("The install agent cache is not safe to use: %s %s."),
                           trust.directory.c_str(), translate(trust.reason.c_str())),
                untrustedCacheMessage(trust));
    endSession();
    return false;
  }
  // From this decision to the hand-over the cache is this run's alone.
  if (!lockCache(cacheDir)) return false;
  removeUnfinishedUnpacking(cacheDir);
  std::string agentDir = installAgentDirOnDisk();
  std::string unproven;
  if (!agentDir.empty() && isCacheValid(cacheDir, validationString_) &&
      (unproven = unprovenCachedAgent(cacheDir, validationString_)).empty()) {
    // The connection goes first: while it stays open the server keeps sending.
    theDownload_->cancel();
    bool started = fireInstallAgent();
    cacheLock_.unlock();
    endSession();
    if (!started) {
      showFailure(translate(kStartFailure));
    } else {
      host::runOnMain([this] { window_->close(); });
    }
    return false;
  }
  if (!unproven.empty())
    host::systemLog("The cached install agent is downloaded again: %s", unproven.c_str());
  // The directory itself, or the link that stands in its place, not what it points to.
  if (!agentDir.empty()) removeTree(cacheDir + INSTALL_AGENT_DIR);
  // No tag from the server: no stored tag may vouch for what is downloaded now.
  if (validationString_.empty()) removeTree(validationStringPath(cacheDir));
  if (!request_.signingKeys.empty()) startSignatureDownload();
  return true;
}

std::string Download::unprovenCachedAgent(const std::string& cacheDir,
                                          const std::string& tag) const {
  if (request_.signingKeys.empty()) return "";
  std::optional<AgentProof> proof = readAgentProof(cacheDir);
  if (!proof) return "no signature was checked for it";
  if (proof->tag != tag || proof->agent != agentIdentity(cacheDir))
    return "the signature checked was of another agent";
  SignedFacts facts;
  std::string problem =
      verifyHashSignature(request_.signingKeys, proof->signature, proof->hash, &facts);
  return problem.empty() ? "" : "its signature does not hold: " + problem;
}

void Download::startSignatureDownload() {
  // A new decision is about another archive: its signature is fetched anew.
  if (signatureTask_) signatureTask_->cancel();
  signature_.reset();
  signatureTask_ = urlSession_->downloadTask(theDownload_->url() + kSignatureSuffix);
  signatureTask_->resume();
}

bool Download::shouldReceiveBody(host::DownloadTask& task) {
  // Every moment the connection stays open costs the server more of an archive that is not
  // needed: a string compare here, the file system at the first data.
  if (likelyCurrentTag_.empty() || &task != theDownload_.get()) return true;
  host::UrlResponse response = task.response();
  return response.statusCode != 200 || response.headerField("ETag") != likelyCurrentTag_;
}

void Download::willRetry(host::DownloadTask& task, const std::string& cause, int seconds) {
  host::systemLog("Download interrupted: %s. Retrying in %d s", cause.c_str(), seconds);
  retryCountdown(task, seconds);
}

void Download::retryCountdown(host::DownloadTask& task, int secondsLeft) {
  // The archive's own wait is the one the user sees: the signature's goes on behind it.
  if (&task != theDownload_.get()) return;
  // The bar keeps the bytes it has: the next attempt goes on from there when it can.
  host::runOnMain([this, secondsLeft] {
    downloadPercent_->setStringValue(formatText(translate(kRetryingFormat), secondsLeft));
    redraw();
  });
}

void Download::didFinishDownloading(host::DownloadTask& task, const std::string& location) {
  if (&task != theDownload_.get()) return signatureArrived(task, location);
  host::UrlResponse response = theDownload_->response();
  long status = response.statusCode;
  // A 206 counts only as the rest of an archive whose start earlier attempts brought.
  if (status != 200 && !response.continuesBody) {
    return showFailure(formatText(translate(kStatusFailure), status),
                       "Download failed! Error code- " + std::to_string(status));
  }
  // An empty archive brings no first data: it is decided on here, like any other.
  std::error_code error;
  if (std::filesystem::file_size(location, error) == 0 && !decideOnFirstData()) return;
  int64_t unshown = std::exchange(unshownBytes_, 0);
  // Until the signature holds, Cancel still ends the run.
  const bool verifying = !request_.signingKeys.empty();
  if (!showBusy(verifying ? kVerifyingText : kInitializingText, verifying, unshown)) return;
  if (verifying && !signature_) {
    // Kept beside the session's file, which goes when this returns, until the signature is in.
    archiveAwaitingSignature_ = location + ".archive";
    if (rename(location.c_str(), archiveAwaitingSignature_.c_str()) != 0)
      return verificationFailed(host::systemError("the archive could not be kept", errno));
    return;
  }
  installArchive(location);
}

void Download::signatureArrived(host::DownloadTask& task, const std::string& location) {
  if (&task != signatureTask_.get()) return;  // of an archive decided on before
  std::string problem = signatureAnswerProblem(task, 0);
  gchar* text = nullptr;
  gsize length = 0;
  if (problem.empty() && !g_file_get_contents(location.c_str(), &text, &length, nullptr))
    problem = "the downloaded file could not be read";
  if (!problem.empty()) return signatureMissing(task, problem);
  signature_ = std::string(text, length);
  g_free(text);
  if (!archiveAwaitingSignature_.empty()) installArchive(archiveAwaitingSignature_);
}

std::string Download::signatureAnswerProblem(host::DownloadTask& task, int64_t bytes) const {
  host::UrlResponse response = task.response();
  if (response.statusCode != 200 && !response.continuesBody)
    return "the server answered with status " + std::to_string(response.statusCode);
  if (bytes > kMostSignatureBytes) return "the answer is larger than a signature file";
  return "";
}

void Download::signatureMissing(host::DownloadTask& task, const std::string& why) {
  if (&task != signatureTask_.get()) return;  // of an archive decided on before
  verificationFailed("no signature from " + task.url() + ": " + why);
}

void Download::verificationFailed(const std::string& reason) {
  if (signatureTask_) signatureTask_->cancel();  // one failure, not one for each later delivery
  cacheLock_.unlock();
  archiveAwaitingSignature_.clear();
  showFailure(translate(kVerificationFailure),
              std::string(kVerificationFailure) + " The download from " + theDownload_->url() +
                  " is not the vendor's: " + reason + ".");
  endSession();
}

std::string Download::replayProblem(const SignedFacts& facts, const std::string& cacheDir) const {
  if (facts.file && *facts.file != archiveName(theDownload_->url()))
    return "signed for another file, " + *facts.file;
  std::optional<AgentProof> stored = readAgentProof(cacheDir);
  SignedFacts installed;
  if (!facts.timestamp || !stored ||
      !verifyTrustedComment(request_.signingKeys, stored->signature, &installed).empty() ||
      !installed.timestamp || *facts.timestamp >= *installed.timestamp)
    return "";
  return "older than the agent already installed (signed at " + std::to_string(*facts.timestamp) +
         ", the installed one at " + std::to_string(*installed.timestamp) + ")";
}

bool Download::showBusy(const char* text, bool cancellable, int64_t unshownBytes) {
  return host::runOnMain([this, text, cancellable, unshownBytes] {
    progress_->incrementBy(static_cast<double>(unshownBytes));
    downloadPercent_->setStringValue(translate(text));
    progress_->setIndeterminate(true);
    progress_->startAnimation();
    cancel_->setEnabled(cancellable);
    redraw();
  });
}

std::optional<AgentProof> Download::verifyArchive(const std::string& archive,
                                                  const std::string& cacheDir) {
  ArchiveHash hash = digest_->finish();
  SignedFacts facts;
  std::string problem =
      verifyArchiveSignature(request_.signingKeys, *signature_, hash, archive, &facts);
  if (problem.empty()) problem = replayProblem(facts, cacheDir);
  if (!problem.empty()) {
    verificationFailed(problem);
    return std::nullopt;
  }
  host::systemLog("The installer's signature holds; trusted comment: %s",
                  facts.trustedComment.c_str());
  return AgentProof{validationString_, "", hash, *signature_};
}

void Download::installArchive(const std::string& archive) {
  if (windowClosed()) return;  // the run has ended: nothing more goes into the cache
  std::string cacheDir = getInstallAgentCacheDir();
  std::optional<AgentProof> proof;
  if (!request_.signingKeys.empty()) {
    if (!(proof = verifyArchive(archive, cacheDir))) return;
    if (!showBusy(kInitializingText, false, 0)) return;
  }
  writeValidationString(cacheDir, validationString_);
  Failure unpackFailure = unpackIntoCache(archive, cacheDir);
  if (proof && unpackFailure.logged.empty()) {
    proof->agent = agentIdentity(cacheDir);
    writeAgentProof(cacheDir, *proof);
  }
  bool started = unpackFailure.logged.empty() && fireInstallAgent();
  cacheLock_.unlock();
  // unzip has said why on standard error already, or the installer has said that it is missing.
  if (unpackFailure.logged == kUnzipFailure || unpackFailure.logged == kUnzipToolMissing)
    return showFailure(unpackFailure.shown);
  if (!unpackFailure.logged.empty())
    return showFailure(unpackFailure.shown, unpackFailure.logged);
  if (!started) return showFailure(translate(kStartFailure));
  // The loop stops at once, and the window closes as soon as it has stopped
  // (CallNSApplicationMain): it never stays the three seconds a delayed close would give it.
  host::stopApplication(1);
}

void Download::didComplete(host::DownloadTask& task,
                           const std::optional<host::UrlError>& error) {
  if (&task != theDownload_.get()) {
    if (error && !error->cancelled) signatureMissing(task, error->description);
    return;
  }
  // An archive that waits for its signature keeps the cache locked.
  if (archiveAwaitingSignature_.empty()) cacheLock_.unlock();
  if (!error || error->cancelled) return;
  Failure message = failureText(N_("Download failed: %s"), error->description.c_str());
  showFailure(message.shown, message.logged);
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
        downloadPercent_->setStringValue(translate(kWaitingText));
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
  const std::string proof = std::string(AGENT_PROOF_FILE) + ".";
  std::string dir = cacheDir;
  if (!dir.ends_with('/')) dir += '/';
  for (const std::string& name : host::listDirectory(dir)) {
    if (name.starts_with(unpacking) || name.starts_with(tag) || name.starts_with(proof))
      removeTree(dir + name);
  }
}

Download::Failure Download::unpackIntoCache(const std::string& archive,
                                             const std::string& cacheDir) {
  std::string agentDir = cacheDir + INSTALL_AGENT_DIR;
  // With the system's reason for the failure of the last call.
  auto systemFailure = [](const char* format, const std::string& path) {
    int error = errno;
    Failure failure = failureText(format, path.c_str());
    return Failure{host::systemError(failure.shown, error), host::systemError(failure.logged, error)};
  };
  // A fresh directory beside the agent directory, so a half-unpacked agent never counts.
  std::string fresh = agentDir + kUnpackingPrefix + "XXXXXX";
  if (!mkdtemp(fresh.data())) return systemFailure(N_("Could not make a directory in %s"), cacheDir);
  Failure failure;
  UnzipResult unzipped = unzipInstallAgent(archive, fresh, "unzip", report_message_main);
  if (unzipped == UnzipResult::ToolMissing) {
    failure = failureText(kUnzipToolMissing);
  } else if (unzipped != UnzipResult::Unpacked) {
    failure = failureText(kUnzipFailure);
  } else if (const char* problem = entryFileProblem(fresh)) {
    failure = failureText(problem);
  } else if (!removeTree(agentDir)) {
    failure = failureText(N_("Could not remove the old install agent in %s"), agentDir.c_str());
  } else if (rename(fresh.c_str(), agentDir.c_str()) != 0) {
    failure = systemFailure(N_("Could not put the install agent in place at %s"), agentDir);
  }
  if (failure.logged.empty()) return {};
  removeTree(fresh);
  // A tag may stand beside no agent, but never vouch for a broken or an older one.
  if (unzipped == UnzipResult::Unpacked) removeTree(validationStringPath(cacheDir));
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

#include "download_app/signature_check.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "host/files.h"
#include "host/system_log.h"

namespace download_app {

namespace {

// A signature file is four short lines; a larger answer is not one.
constexpr int64_t kMostSignatureBytes = 64 * 1024;

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

// The signature file's URL: the archive's path with ".minisig" after it, its query kept.
std::string signatureUrl(const std::string& archiveUrl) {
  std::string url = archiveUrl.substr(0, archiveUrl.find('#'));
  return url.insert(std::min(url.find('?'), url.size()), ".minisig");
}

}  // namespace

SignatureCheck::SignatureCheck(SigningKeys keys, const AgentCache& cache, Delegate* delegate)
    : keys_(std::move(keys)),
      cache_(cache),
      delegate_(delegate),
      digest_(std::make_unique<ArchiveDigest>()) {}

SignatureCheck::~SignatureCheck() {
  if (!awaiting_.empty()) unlink(awaiting_.c_str());
}

void SignatureCheck::observe(host::DownloadTask& archiveTask) {
  archiveTask.setBodyObserver([digest = digest_.get()](int64_t offset, std::string_view bytes) {
    if (offset == 0) digest->restart();
    digest->add(bytes);
  });
}

void SignatureCheck::fetchSignature(host::UrlSession& session, const std::string& archiveUrl) {
  // A new decision is about another archive: its signature is fetched anew.
  if (task_) task_->cancel();
  signature_.reset();
  archiveUrl_ = archiveUrl;
  task_ = session.downloadTask(signatureUrl(archiveUrl), this);
  task_->resume();
}

void SignatureCheck::archiveArrived(const std::string& location) {
  if (signature_) return verify(location);
  // Kept beside the session's file, which goes when the callback returns.
  awaiting_ = location + ".archive";
  if (rename(location.c_str(), awaiting_.c_str()) != 0) {
    awaiting_.clear();
    fail(host::systemError("the archive could not be kept", errno));
  }
}

void SignatureCheck::didWriteData(host::DownloadTask&, int64_t, int64_t totalBytesWritten,
                                  int64_t) {
  if (std::optional<std::string> problem = answerProblem(totalBytesWritten)) missing(*problem);
}

void SignatureCheck::didFinishDownloading(host::DownloadTask&, const std::string& location) {
  std::optional<std::string> problem = answerProblem(0);
  gchar* text = nullptr;
  gsize length = 0;
  if (!problem && !g_file_get_contents(location.c_str(), &text, &length, nullptr))
    problem = "the downloaded file could not be read";
  if (problem) return missing(*problem);
  signature_ = std::string(text, length);
  g_free(text);
  if (!awaiting_.empty()) verify(awaiting_);
}

void SignatureCheck::didComplete(host::DownloadTask&, const std::optional<host::UrlError>& error) {
  if (error && !error->cancelled) missing(error->description);
}

std::optional<std::string> SignatureCheck::answerProblem(int64_t bytes) const {
  host::UrlResponse response = task_->response();
  if (response.statusCode != 200 && !response.continuesBody)
    return "the server answered with status " + std::to_string(response.statusCode);
  if (bytes > kMostSignatureBytes) return "the answer is larger than a signature file";
  return std::nullopt;
}

std::optional<std::string> SignatureCheck::replayProblem(const SignedFacts& facts) const {
  if (facts.file && *facts.file != archiveName(archiveUrl_))
    return "signed for another file, " + *facts.file;
  std::optional<int64_t> installed = cache_.lastSignedAt(keys_);
  if (!facts.timestamp || !installed || *facts.timestamp >= *installed) return std::nullopt;
  return "older than the agent already installed (signed at " + std::to_string(*facts.timestamp) +
         ", the installed one at " + std::to_string(*installed) + ")";
}

void SignatureCheck::verify(const std::string& archive) {
  ArchiveHash hash = digest_->finish();
  SignedFacts facts;
  SignatureStatus status = verifyArchiveSignature(keys_, *signature_, hash, &archive, &facts);
  if (!status.ok()) return fail(describe(status));
  if (std::optional<std::string> replayed = replayProblem(facts)) return fail(*replayed);
  host::systemLog("The installer's signature holds; trusted comment: %s",
                  facts.trustedComment.c_str());
  delegate_->archiveVerified(archive, AgentProof{"", "", hash, *signature_});
}

void SignatureCheck::missing(const std::string& why) {
  fail("no signature from " + host::redactedUrl(task_->url()) + ": " + why);
}

void SignatureCheck::fail(const std::string& reason) {
  // One failure, not one for each later delivery; no archive kept.
  if (task_) task_->cancel();
  if (!awaiting_.empty()) unlink(std::exchange(awaiting_, "").c_str());
  delegate_->verificationFailed(reason);
}

}  // namespace download_app

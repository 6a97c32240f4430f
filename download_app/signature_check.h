// The check that a downloaded archive is the vendor's: its BLAKE2b-512 hash as its bytes arrive,
// its signature file (the archive URL's path + ".minisig", its query kept) fetched on the same
// session once the archive is decided on, and the archive kept until both are in. One check per
// run, with a signing key; everything runs on the session's delegate queue. It reports to its
// delegate and never shows, ends or starts anything itself.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/url_session.h"
#include "provisioning/agent_cache.h"
#include "provisioning/signature.h"

namespace download_app {

class SignatureCheck : private host::UrlSessionDelegate {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // The archive at `archive` is the vendor's: `proof` says so, for the cache to keep.
    virtual void archiveVerified(const std::string& archive, AgentProof proof) = 0;
    // It is not, or that could not be found out: `reason`, in English, for the log.
    virtual void verificationFailed(const std::string& reason) = 0;
  };

  SignatureCheck(SigningKeys keys, const AgentCache& cache, Delegate* delegate);
  // Removes an archive that waited in vain.
  ~SignatureCheck() override;

  // Before the archive's task resumes: hashes its body as it arrives.
  void observe(host::DownloadTask& archiveTask);
  // The archive at `archiveUrl` has been decided on: fetches its signature on `session`, anew
  // for each decision.
  void fetchSignature(host::UrlSession& session, const std::string& archiveUrl);
  // The archive has arrived whole at `location`, the session's file: verified when the
  // signature is in, else kept beside it until it is.
  void archiveArrived(const std::string& location);
  // True while an archive waits for its signature.
  bool holdsArchive() const { return !awaiting_.empty(); }

 private:
  void didWriteData(host::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloading(host::DownloadTask& task, const std::string& location) override;
  void didComplete(host::DownloadTask& task, const std::optional<host::UrlError>& error) override;
  // Why the signature's answer, `bytes` long so far, is no signature file; nothing when it may be.
  std::optional<std::string> answerProblem(int64_t bytes) const;
  // Why the trusted comment's `facts` rule the archive out: signed for another of the vendor's
  // files, or before the agent verified last. Nothing when neither.
  std::optional<std::string> replayProblem(const SignedFacts& facts) const;
  void verify(const std::string& archive);
  // The signature could not be had, for `why`.
  void missing(const std::string& why);
  // The check has failed for `reason`: no more reports, and no archive kept.
  void fail(const std::string& reason);

  const SigningKeys keys_;
  const AgentCache& cache_;
  Delegate* const delegate_;
  std::unique_ptr<ArchiveDigest> digest_;
  std::shared_ptr<host::DownloadTask> task_;
  std::string archiveUrl_;
  std::optional<std::string> signature_;  // the signature file's content, once it is in
  std::string awaiting_;                  // the archive kept until then
};

}  // namespace download_app

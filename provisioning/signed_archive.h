// The signed agent archive: a bundle that carries the vendor's public keys
// ("installAgentKey.pub": one or more, one after another, as `minisign -G` writes each) starts a
// downloaded agent only when the archive's signature file (`minisign -Sm`, at the archive's URL +
// ".minisig") holds under one of them: the archive's signature ("ED": of its BLAKE2b-512 hash; the
// older "Ed": of the file itself) and the global signature over it and its trusted comment.
// The proof the cache keeps beside a verified agent holds that agent's signature and hash, and for
// each key that ever verified an agent there its newest signature: the floor below which no
// download signed with that key is taken. The proof is signed, so it is checked again, never
// trusted. The functions are stateless and safe on any thread; `SignatureCheck` runs on its
// session's delegate queue and only reports through its completion.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/status.h"
#include "host/url_session.h"

struct SigningKey {
  std::array<unsigned char, 8> id;  // minisign's key number, as the signature names its key
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
};

// The vendor's keys; a signature by any of them holds. Empty: the bundle has no key.
using SigningKeys = std::vector<SigningKey>;

using ArchiveHash = std::array<unsigned char, crypto_generichash_BYTES_MAX>;

// What a signature that holds says in its trusted comment, as `minisign -S` writes it by
// default ("timestamp:N<tab>file:NAME<tab>hashed"); a comment of the vendor's own has neither.
struct SignedFacts {
  std::string trustedComment;
  std::optional<int64_t> timestamp;  // seconds since 1970
  std::optional<std::string> file;   // the name of the file signed
};

// Why a key file holds no key; `subject` is the line, for kNotBase64 and kNotEd25519.
enum class KeyFileProblem {
  kNoKeyLines,  // not "untrusted comment:" lines, each followed by a key
  kNotBase64,   // the line is not a base64 public key
  kNotEd25519,  // the key on the line is not an Ed25519 key
  kNoKey,       // nothing but blanks
  kUnreadable,  // no regular file that can be read
};
using KeyFileStatus = host::Status<KeyFileProblem>;

// The key file in the bundle's resources.
std::filesystem::path signingKeyFilePath(const std::filesystem::path& bundleLocation);

// The keys in `text`, a public key file's content, into `keys` (empty on failure).
KeyFileStatus parseSigningKeys(const std::string& text, SigningKeys* keys);

// Reads the bundle's keys into `keys`; no key file is no failure, but anything else under its
// name that holds no key (a link that leads nowhere, a directory, an unreadable file) is.
KeyFileStatus readSigningKeys(const std::filesystem::path& bundleLocation, SigningKeys* keys);

// The key number as minisign prints it (16 hexadecimal digits).
std::string keyIdText(const std::array<unsigned char, 8>& id);

// Why an archive, or a cached agent's proof, is not shown to be the vendor's; `subject` as noted.
enum class SignatureProblem {
  kNotASignature,      // the text is not a minisign signature file
  kUnknownAlgorithm,   // neither "ED" nor "Ed"
  kOtherKey,           // subject: the signature's key number, then the bundle's, blank-separated
  kCommentAltered,     // the global signature over the trusted comment fails
  kArchiveAltered,     // the archive's signature fails
  kArchiveUnreadable,  // subject: why the archive could not be read
  kSignsTheFile,       // the older algorithm, for an archive known only by its hash
  kOtherFile,          // subject: the file the comment names instead of the archive's
  kOlder,              // subject: its timestamp and the floor's, blank-separated
  kInTheFuture,        // subject: its timestamp, over a day after the local clock
  kNoProof,            // the cache keeps no proof that can be read
  kAnsweredStatus,     // the signature's server answered with the status in subject
  kAnswerTooLarge,     // the signature's answer is larger than a signature file
  kAnswerUnreadable,   // the signature's downloaded file could not be read
  kTransportFailed,    // subject: why the signature's download failed
  kArchiveNotKept,     // the archive could not be kept while its signature came (errno)
};
using SignatureStatus = host::Status<SignatureProblem>;

// Whether `signatureText` is a valid signature by one of `keys` of the archive of hash `hash` at
// `archivePath` (read only for "Ed", which signs the file; without a path that never holds).
// `facts` gets what the trusted comment says once that holds.
SignatureStatus verifyArchiveSignature(const SigningKeys& keys, const std::string& signatureText,
                                       const ArchiveHash& hash, const std::string* archivePath,
                                       SignedFacts* facts);

// An archive that has arrived whole.
struct DownloadedArchive {
  std::string path;  // its file
  std::string name;  // the last segment of its URL's path, as a trusted comment names it
  ArchiveHash hash;
};

// Whether `archive` is the vendor's by `signatureText` and no replay: signed for its name, not
// before the floor of `keptProof` (whatever agent it is of), nor over a day after `now`. On
// success `proof` gets what the cache is to keep beside the new agent, `facts` the comment.
SignatureStatus verifyDownload(const SigningKeys& keys, const DownloadedArchive& archive,
                               const std::string& signatureText, std::string_view keptProof,
                               int64_t now, SignedFacts* facts, std::string* proof);

// Whether `proof`, kept beside a cached agent, shows its archive signed by one of `keys`.
SignatureStatus verifyProof(const SigningKeys& keys, std::string_view proof);

// The time no download signed with one of `keys` may be older than: the newest signature in
// `proof` that one of them made, leaving out any from the future. Nothing without one.
std::optional<int64_t> replayFloor(const SigningKeys& keys, std::string_view proof, int64_t now);

// The signature file's URL: the archive's path with ".minisig" after it, its query kept.
std::string signatureUrl(const std::string& archiveUrl);

class ArchiveDigest;

// The check of one run's download, with a signing key: the archive hashed as it arrives, its
// signature fetched on the same session once it is decided on, the archive kept until both are in.
class SignatureCheck : private host::UrlSessionDelegate {
 public:
  // The outcome, once: with success the archive's file, and with a key the proof for the
  // cache and the signature's trusted comment.
  struct Outcome {
    SignatureStatus status;
    std::string archive;
    std::optional<std::string> proof;
    std::optional<std::string> trustedComment;
  };
  using Completion = std::function<void(const Outcome& outcome)>;

  // Without a key nothing is checked: the archive is handed on as it arrives.
  SignatureCheck(SigningKeys keys, Completion done);
  // Removes an archive that waited in vain.
  ~SignatureCheck() override;

  // Before the archive's task resumes: hashes its body as it arrives.
  void observe(host::DownloadTask& archiveTask);
  // Fetches on `session` the signature of `archiveUrl`, decided on with `keptProof` in the cache.
  void fetchSignature(host::UrlSession& session, const std::string& archiveUrl,
                      std::string keptProof);
  // The archive has arrived whole at `location`, the session's file: verified when the
  // signature is in, else kept beside it until it is.
  void archiveArrived(const std::string& location);
  // True while an archive waits for its signature.
  bool holdsArchive() const { return !awaiting_.empty(); }
  bool verifies() const { return !keys_.empty(); }
  // Whether a proof the cache keeps vouches for its agent under the keys (none without a key);
  // the last refusal is kept for the log (`proofProblem`).
  std::function<bool(std::string_view proof)> proofCheck();
  const SignatureStatus& proofProblem() const { return proofProblem_; }

 private:
  void didWriteData(host::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloading(host::DownloadTask& task, const std::string& location) override;
  void didComplete(host::DownloadTask& task, const std::optional<host::UrlError>& error) override;
  void verify(const std::string& archive);
  // The check has failed: no more reports, and no archive kept.
  void fail(const SignatureStatus& status);

  const SigningKeys keys_;
  const Completion done_;
  std::unique_ptr<ArchiveDigest> digest_;
  std::shared_ptr<host::DownloadTask> task_;
  std::string archiveUrl_;
  std::string keptProof_;
  std::optional<std::string> signature_;  // the signature file's content, once it is in
  std::string awaiting_;                  // the archive kept until then
  SignatureStatus proofProblem_;
};

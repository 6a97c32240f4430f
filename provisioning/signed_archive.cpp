#include "provisioning/signed_archive.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kRingBytes = 4 << 20;
// A signature file is four short lines; a larger answer is not one.
constexpr int64_t kMostSignatureBytes = 64 * 1024;
// How far a signing time may run ahead of the local clock: a day, for clocks that are wrong.
constexpr int64_t kClockSlack = 24 * 60 * 60;
constexpr size_t kSignatureLines = 4;

// The lines of a small text file, without their line ends ("\n" or "\r\n").
std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    std::string& line = lines.emplace_back(text.substr(start, end - start));
    if (line.ends_with('\r')) line.pop_back();
  }
  return lines;
}

// The bytes of a base64 line of exactly `length` bytes, blanks around it dropped (as minisign
// reads it), or nothing; checked first, as GLib's decoder skips what is not base64.
std::optional<std::string> decodeBase64(std::string line, size_t length) {
  line.erase(line.find_last_not_of(" \t") + 1);
  line.erase(0, line.find_first_not_of(" \t"));
  if (line.empty() || line.size() % 4 != 0 ||
      line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
          std::string::npos)
    return std::nullopt;
  gsize size = 0;
  g_autofree guchar* bytes = g_base64_decode(line.c_str(), &size);
  std::string decoded(reinterpret_cast<const char*>(bytes), size);
  if (decoded.size() != length) return std::nullopt;
  return decoded;
}

bool verifies(std::string_view signature, std::string_view message, const SigningKey& key) {
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.publicKey.data()) == 0;
}

// A signature file taken apart.
struct ParsedSignature {
  std::string algorithm;  // "ED" (of the hash) or "Ed" (of the file)
  std::array<unsigned char, 8> keyId;
  std::string archiveSignature;
  std::vector<std::string> lines;  // its four lines
};

SignedFacts factsOf(const std::string& comment) {
  SignedFacts facts{comment, std::nullopt, std::nullopt};
  for (size_t start = 0, end; start <= comment.size(); start = end + 1) {
    end = std::min(comment.find('\t', start), comment.size());
    std::string field = comment.substr(start, end - start);
    if (field.starts_with("timestamp:")) {
      const char* digits = field.c_str() + strlen("timestamp:");
      char* stop = nullptr;
      errno = 0;
      int64_t value = g_ascii_strtoll(digits, &stop, 10);
      if (errno == 0 && stop != digits && *stop == '\0') facts.timestamp = value;
    } else if (field.starts_with("file:")) {
      facts.file = field.substr(strlen("file:"));
    }
  }
  return facts;
}

// Takes the four lines of a signature file apart, without checking anything it says.
std::optional<ParsedSignature> parseSignature(std::vector<std::string> lines) {
  if (lines.size() < kSignatureLines || !lines[0].starts_with(kUntrustedPrefix) ||
      !lines[2].starts_with(kTrustedPrefix))
    return std::nullopt;
  std::optional<std::string> signature = decodeBase64(lines[1], 2 + 8 + crypto_sign_BYTES);
  if (!signature || !decodeBase64(lines[3], crypto_sign_BYTES)) return std::nullopt;
  lines.resize(kSignatureLines);
  ParsedSignature parsed{signature->substr(0, 2), {}, signature->substr(10), std::move(lines)};
  memcpy(parsed.keyId.data(), signature->data() + 2, parsed.keyId.size());
  return parsed;
}

// Checks a parsed signature's key and the global signature, which vouches for the trusted
// comment (into `facts`); the archive's own signature is left to the caller, with the key `made`.
SignatureStatus checkSignature(const SigningKeys& keys, const ParsedSignature& parsed,
                               const SigningKey** made, SignedFacts* facts) {
  if (parsed.algorithm != "ED" && parsed.algorithm != "Ed")
    return SignatureProblem::kUnknownAlgorithm;
  auto key = std::ranges::find(keys, parsed.keyId, &SigningKey::id);
  if (key == keys.end()) {
    std::string ids = keyIdText(parsed.keyId);
    for (const SigningKey& k : keys) ids += " " + keyIdText(k.id);
    return {SignatureProblem::kOtherKey, ids};
  }
  *made = &*key;
  std::string comment = parsed.lines[2].substr(strlen(kTrustedPrefix));
  std::optional<std::string> global = decodeBase64(parsed.lines[3], crypto_sign_BYTES);
  if (!verifies(*global, parsed.archiveSignature + comment, **made))
    return SignatureProblem::kCommentAltered;
  *facts = factsOf(comment);
  return {};
}

SignatureStatus verifyParsed(const SigningKeys& keys, const std::optional<ParsedSignature>& parsed,
                             const ArchiveHash& hash, const std::string* archivePath,
                             SignedFacts* facts) {
  if (!parsed) return SignatureProblem::kNotASignature;
  const SigningKey* key = nullptr;
  SignatureStatus status = checkSignature(keys, *parsed, &key, facts);
  if (!status.ok()) return status;
  std::string_view message(reinterpret_cast<const char*>(hash.data()), hash.size());
  g_autoptr(GMappedFile) file = nullptr;
  if (parsed->algorithm == "Ed") {  // the older algorithm signs the file itself
    if (!archivePath) return SignatureProblem::kSignsTheFile;
    g_autoptr(GError) error = nullptr;
    if (!(file = g_mapped_file_new(archivePath->c_str(), FALSE, &error)))
      return {SignatureProblem::kArchiveUnreadable, error->message};
    message = {g_mapped_file_get_contents(file), g_mapped_file_get_length(file)};
  }
  if (!verifies(parsed->archiveSignature, message, *key)) return SignatureProblem::kArchiveAltered;
  return {};
}

// A proof as the cache keeps it: the agent's archive's hash in hexadecimal, then signatures of
// four lines each: the agent's, then one for each other key that ever verified an agent here.
struct Proof {
  std::optional<ArchiveHash> hash;
  std::vector<ParsedSignature> signatures;  // those that can be taken apart
};

Proof parseProof(std::string_view text) {
  std::vector<std::string> lines = linesOf(text);
  Proof proof;
  ArchiveHash hash;
  if (!lines.empty() && lines[0].size() == 2 * hash.size() &&
      sodium_hex2bin(hash.data(), hash.size(), lines[0].data(), lines[0].size(), nullptr, nullptr,
                     nullptr) == 0)
    proof.hash = hash;
  for (size_t i = 1; i + kSignatureLines <= lines.size(); i += kSignatureLines) {
    std::vector<std::string> group(lines.begin() + i, lines.begin() + i + kSignatureLines);
    if (std::optional<ParsedSignature> parsed = parseSignature(std::move(group)))
      proof.signatures.push_back(std::move(*parsed));
  }
  return proof;
}

// The proof of the archive of `hash`, signed by `signature`, that keeps the floors of the other
// keys in `kept` as they are: a bundle that cannot check them must not lose them.
std::string proofOf(const ArchiveHash& hash, const ParsedSignature& signature,
                    std::string_view kept) {
  std::string text(2 * hash.size() + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), hash.data(), hash.size());
  text.back() = '\n';
  std::vector<std::array<unsigned char, 8>> keyIds;
  auto add = [&](const ParsedSignature& s) {
    if (std::find(keyIds.begin(), keyIds.end(), s.keyId) != keyIds.end()) return;
    keyIds.push_back(s.keyId);
    for (const std::string& line : s.lines) text += line + "\n";
  };
  add(signature);
  for (const ParsedSignature& floor : parseProof(kept).signatures) add(floor);
  return text;
}

// The archive's file name as a trusted comment names it: its URL's last path segment, decoded.
std::string archiveName(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  std::string segment = path.substr(path.rfind('/') + 1);
  g_autofree gchar* decoded = g_uri_unescape_string(segment.c_str(), nullptr);
  return decoded ? decoded : segment;
}

// Why the signature's answer, `bytes` long so far, is no signature file.
SignatureStatus answerProblem(const host::UrlResponse& response, int64_t bytes) {
  if (response.statusCode != 200 && !response.continuesBody)
    return {SignatureProblem::kAnsweredStatus, std::to_string(response.statusCode)};
  if (bytes > kMostSignatureBytes) return SignatureProblem::kAnswerTooLarge;
  return {};
}

}  // namespace

std::filesystem::path signingKeyFilePath(const std::filesystem::path& bundleLocation) {
  return bundleLocation / "installAgentKey.pub";
}

std::string keyIdText(const std::array<unsigned char, 8>& id) {
  uint64_t number = 0;  // minisign reads the number as little-endian
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) number = number << 8 | *byte;
  g_autofree gchar* text = g_strdup_printf("%016" G_GINT64_MODIFIER "X", number);
  return text;
}

KeyFileStatus parseSigningKeys(const std::string& text, SigningKeys* keys) {
  std::vector<std::string> lines = linesOf(text);
  // Lines of nothing but blanks between two keys are no part of either.
  std::erase_if(lines, [](const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
  });
  keys->clear();
  SigningKeys parsed;
  for (size_t i = 0; i < lines.size(); i += 2) {
    if (!lines[i].starts_with(kUntrustedPrefix) || i + 1 == lines.size())
      return KeyFileProblem::kNoKeyLines;
    std::optional<std::string> bytes =
        decodeBase64(lines[i + 1], 2 + 8 + crypto_sign_PUBLICKEYBYTES);
    if (!bytes) return {KeyFileProblem::kNotBase64, std::to_string(i + 2)};
    if (!bytes->starts_with("Ed")) return {KeyFileProblem::kNotEd25519, std::to_string(i + 2)};
    SigningKey& key = parsed.emplace_back();
    memcpy(key.id.data(), bytes->data() + 2, key.id.size());
    memcpy(key.publicKey.data(), bytes->data() + 2 + key.id.size(), key.publicKey.size());
  }
  if (parsed.empty()) return KeyFileProblem::kNoKey;
  *keys = std::move(parsed);
  return {};
}

KeyFileStatus readSigningKeys(const std::filesystem::path& bundleLocation, SigningKeys* keys) {
  std::string path = signingKeyFilePath(bundleLocation);
  keys->clear();
  struct stat entry;
  // Whatever stands under the name, a link that leads nowhere included, means a key was meant.
  if (lstat(path.c_str(), &entry) != 0 && errno == ENOENT) return {};
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  // Only a regular file: a named pipe in its place must not hold the run up.
  if (!g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR) ||
      !g_file_get_contents(path.c_str(), &text, &length, nullptr))
    return KeyFileProblem::kUnreadable;
  KeyFileStatus status = parseSigningKeys(std::string(text, length), keys);
  if (status.ok() && sodium_init() < 0) abort();  // only when the system gives no randomness
  return status;
}

SignatureStatus verifyArchiveSignature(const SigningKeys& keys, const std::string& signatureText,
                                       const ArchiveHash& hash, const std::string* archivePath,
                                       SignedFacts* facts) {
  return verifyParsed(keys, parseSignature(linesOf(signatureText)), hash, archivePath, facts);
}

SignatureStatus verifyDownload(const SigningKeys& keys, const DownloadedArchive& archive,
                               const std::string& signatureText, std::string_view keptProof,
                               int64_t now, SignedFacts* facts, std::string* proof) {
  std::optional<ParsedSignature> parsed = parseSignature(linesOf(signatureText));
  SignatureStatus status = verifyParsed(keys, parsed, archive.hash, &archive.path, facts);
  if (!status.ok()) return status;
  if (facts->file && *facts->file != archive.name)
    return {SignatureProblem::kOtherFile, *facts->file};
  std::optional<int64_t> signedAt = facts->timestamp;
  if (signedAt && *signedAt > now + kClockSlack)
    return {SignatureProblem::kInTheFuture, std::to_string(*signedAt)};
  std::optional<int64_t> floor = replayFloor(keys, keptProof, now);
  if (signedAt && floor && *signedAt < *floor)
    return {SignatureProblem::kOlder, std::to_string(*signedAt) + " " + std::to_string(*floor)};
  *proof = proofOf(archive.hash, *parsed, keptProof);
  return {};
}

SignatureStatus verifyProof(const SigningKeys& keys, std::string_view proof) {
  Proof parsed = parseProof(proof);
  if (!parsed.hash || parsed.signatures.empty()) return SignatureProblem::kNoProof;
  SignedFacts facts;
  return verifyParsed(keys, parsed.signatures.front(), *parsed.hash, nullptr, &facts);
}

std::optional<int64_t> replayFloor(const SigningKeys& keys, std::string_view proof, int64_t now) {
  std::optional<int64_t> floor;
  for (const ParsedSignature& signature : parseProof(proof).signatures) {
    const SigningKey* key = nullptr;
    SignedFacts facts;
    if (!checkSignature(keys, signature, &key, &facts).ok() || !facts.timestamp ||
        *facts.timestamp > now + kClockSlack)
      continue;
    floor = std::max(floor.value_or(*facts.timestamp), *facts.timestamp);
  }
  return floor;
}

std::string signatureUrl(const std::string& archiveUrl) {
  std::string url = archiveUrl.substr(0, archiveUrl.find('#'));
  return url.insert(std::min(url.find('?'), url.size()), ".minisig");
}

// The BLAKE2b-512 hash of an archive, computed on a thread of its own while it downloads, so the
// download does not wait for it. The bytes pass through a ring of a few megabytes (`add` waits
// while it is full); nothing is allocated per piece.
class ArchiveDigest {
 public:
  ArchiveDigest() : ring_(kRingBytes) {
    if (sodium_init() < 0) abort();  // only when the system gives no randomness at all
    crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
    thread_ = std::thread([this] { run(); });
  }
  ~ArchiveDigest() {
    std::unique_lock lock(mutex_);
    ending_ = true;
    changed_.notify_all();
    lock.unlock();
    thread_.join();
  }

  void add(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    while (!bytes.empty()) {
      changed_.wait(lock, [this] { return waiting_ < ring_.size(); });
      // Into the free room after the waiting bytes, up to the ring's end.
      size_t end = (first_ + waiting_) % ring_.size();
      size_t room = std::min(ring_.size() - waiting_, ring_.size() - end);
      size_t length = std::min(room, bytes.size());
      memcpy(ring_.data() + end, bytes.data(), length);
      waiting_ += length;
      bytes.remove_prefix(length);
      changed_.notify_all();
    }
  }

  // The hash of what was added since the last call (or the start); the next starts afresh.
  ArchiveHash finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_ == 0; });
    ArchiveHash hash;
    crypto_generichash_final(&state_, hash.data(), hash.size());
    crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
    return hash;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return waiting_ > 0 || ending_; });
      if (ending_) return;
      // The waiting bytes up to the ring's end; `add` writes only after all that waits.
      size_t length = std::min(waiting_, ring_.size() - first_);
      lock.unlock();
      crypto_generichash_update(&state_, ring_.data() + first_, length);
      lock.lock();
      first_ = (first_ + length) % ring_.size();
      waiting_ -= length;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<unsigned char> ring_;
  size_t first_ = 0;    // where the bytes not yet hashed begin in the ring
  size_t waiting_ = 0;  // how many there are, those being hashed included
  bool ending_ = false;
  crypto_generichash_state state_;  // the thread's, except while nothing waits
  std::thread thread_;
};

SignatureCheck::SignatureCheck(SigningKeys keys, Completion done)
    : keys_(std::move(keys)),
      done_(std::move(done)),
      digest_(keys_.empty() ? nullptr : std::make_unique<ArchiveDigest>()) {}

std::function<bool(std::string_view proof)> SignatureCheck::proofCheck() {
  if (!verifies()) return {};
  return [this](std::string_view proof) {
    SignatureStatus status = verifyProof(keys_, proof);
    if (!status.ok()) proofProblem_ = status;
    return status.ok();
  };
}

SignatureCheck::~SignatureCheck() {
  if (!awaiting_.empty()) unlink(awaiting_.c_str());
}

void SignatureCheck::observe(host::DownloadTask& archiveTask) {
  if (!verifies()) return;
  archiveTask.setBodyObserver([digest = digest_.get()](int64_t offset, std::string_view bytes) {
    if (offset == 0) digest->finish();  // the archive starts over
    digest->add(bytes);
  });
}

void SignatureCheck::fetchSignature(host::UrlSession& session, const std::string& archiveUrl,
                                    std::string keptProof) {
  if (!verifies()) return;
  // A new decision is about another archive: its signature is fetched anew.
  if (task_) task_->cancel();
  signature_.reset();
  archiveUrl_ = archiveUrl;
  keptProof_ = std::move(keptProof);
  task_ = session.downloadTask(signatureUrl(archiveUrl), this);
  task_->resume();
}

void SignatureCheck::archiveArrived(const std::string& location) {
  if (!verifies()) return done_({{}, location, std::nullopt, std::nullopt});
  if (signature_) return verify(location);
  // Kept beside the session's file, which goes when the callback returns.
  awaiting_ = location + ".archive";
  if (rename(location.c_str(), awaiting_.c_str()) != 0) {
    awaiting_.clear();
    fail({SignatureProblem::kArchiveNotKept, "", errno});
  }
}

void SignatureCheck::didWriteData(host::DownloadTask&, int64_t, int64_t totalBytesWritten,
                                  int64_t) {
  SignatureStatus problem = answerProblem(task_->response(), totalBytesWritten);
  if (!problem.ok()) fail(problem);
}

void SignatureCheck::didFinishDownloading(host::DownloadTask&, const std::string& location) {
  SignatureStatus problem = answerProblem(task_->response(), 0);
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  if (problem.ok() && !g_file_get_contents(location.c_str(), &text, &length, nullptr))
    problem = SignatureProblem::kAnswerUnreadable;
  if (!problem.ok()) return fail(problem);
  signature_ = std::string(text, length);
  if (!awaiting_.empty()) verify(awaiting_);
}

void SignatureCheck::didComplete(host::DownloadTask&, const std::optional<host::UrlError>& error) {
  if (error && !error->cancelled) fail({SignatureProblem::kTransportFailed, error->description});
}

void SignatureCheck::verify(const std::string& archive) {
  DownloadedArchive downloaded{archive, archiveName(archiveUrl_), digest_->finish()};
  SignedFacts facts;
  std::string proof;
  SignatureStatus status = verifyDownload(keys_, downloaded, *signature_, keptProof_,
                                          g_get_real_time() / G_USEC_PER_SEC, &facts, &proof);
  if (!status.ok()) return fail(status);
  done_({status, archive, proof, facts.trustedComment});
}

void SignatureCheck::fail(const SignatureStatus& status) {
  // One failure, not one for each later delivery; no archive kept.
  if (task_) task_->cancel();
  if (!awaiting_.empty()) unlink(std::exchange(awaiting_, "").c_str());
  done_({status, "", std::nullopt, std::nullopt});
}

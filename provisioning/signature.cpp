#include "provisioning/signature.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kRingBytes = 4 << 20;

// The lines of a small text file, without their line ends ("\n" or "\r\n").
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The bytes of a base64 line of exactly `length` bytes, blanks around it dropped (as minisign
// reads it); nothing for any other line. GLib's decoder skips what is not base64, so the line is
// checked first.
std::optional<std::string> decodeBase64(std::string line, size_t length) {
  line.erase(line.find_last_not_of(" \t") + 1);
  line.erase(0, line.find_first_not_of(" \t"));
  bool base64 = !line.empty() && line.size() % 4 == 0 &&
                line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789+/=") == std::string::npos;
  if (!base64) return std::nullopt;
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

// Checks the signature `signature` ("Ed": of the file itself) over the archive in `path`.
SignatureStatus verifyOverFile(std::string_view signature, const std::string& path,
                               const SigningKey& key) {
  GError* error = nullptr;
  GMappedFile* file = g_mapped_file_new(path.c_str(), FALSE, &error);
  if (!file) {
    SignatureStatus unreadable{SignatureProblem::kArchiveUnreadable, error->message};
    g_error_free(error);
    return unreadable;
  }
  bool good = verifies(signature,
                       std::string_view(g_mapped_file_get_contents(file),
                                        g_mapped_file_get_length(file)),
                       key);
  g_mapped_file_unref(file);
  return good ? SignatureStatus() : SignatureProblem::kArchiveAltered;
}

}  // namespace

std::string signingKeyFilePath(const std::string& bundleLocation) {
  return (std::filesystem::path(bundleLocation) / "installAgentKey.pub").string();
}

std::string keyIdText(const std::array<unsigned char, 8>& id) {
  std::string text;
  // minisign reads the number as little-endian.
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    char digits[3];
    g_snprintf(digits, sizeof digits, "%02X", *byte);
    text += digits;
  }
  return text;
}

SigningKeys parseSigningKeys(const std::string& text, std::string* problem) {
  std::vector<std::string> lines = linesOf(text);
  // Lines of nothing but blanks between two keys are no part of either.
  std::erase_if(lines, [](const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
  });
  SigningKeys keys;
  for (size_t i = 0; i < lines.size(); i += 2) {
    if (!lines[i].starts_with(kUntrustedPrefix) || i + 1 == lines.size()) {
      *problem = "it does not hold \"untrusted comment:\" lines, each followed by a key";
      return {};
    }
    std::optional<std::string> bytes =
        decodeBase64(lines[i + 1], 2 + 8 + crypto_sign_PUBLICKEYBYTES);
    if (!bytes) {
      *problem = "line " + std::to_string(i + 2) + " is not a base64 public key";
      return {};
    }
    if (!bytes->starts_with("Ed")) {
      *problem = "the key on line " + std::to_string(i + 2) + " is not an Ed25519 key";
      return {};
    }
    SigningKey& key = keys.emplace_back();
    memcpy(key.id.data(), bytes->data() + 2, key.id.size());
    memcpy(key.publicKey.data(), bytes->data() + 2 + key.id.size(), key.publicKey.size());
  }
  if (keys.empty()) *problem = "it holds no key";
  return keys;
}

bool readSigningKeys(const std::string& bundleLocation, SigningKeys* keys, std::string* problem) {
  std::string path = signingKeyFilePath(bundleLocation);
  keys->clear();
  struct stat entry;
  // Whatever stands under the name, a link that leads nowhere included, means a key was meant.
  if (lstat(path.c_str(), &entry) != 0 && errno == ENOENT) return true;
  std::string why = "it cannot be read";
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  // Only a regular file: a named pipe in its place must not hold the run up.
  if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR) &&
      g_file_get_contents(path.c_str(), &text, &length, nullptr)) {
    *keys = parseSigningKeys(std::string(text, length), &why);
  }
  if (!keys->empty()) return sodium_init() >= 0;  // only fails without any randomness
  *problem = "The signing key file " + path + " is not a minisign public key: " + why + ".";
  return false;
}

namespace {

// A signature file taken apart.
struct ParsedSignature {
  std::string algorithm;  // "ED" (of the hash) or "Ed" (of the file)
  std::string archiveSignature;
  const SigningKey* key = nullptr;  // the one of the bundle's keys that made it
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

// Takes the signature file apart and checks its key and its global signature, which vouches
// for the trusted comment. The archive's own signature is left to the caller, with `key`.
SignatureStatus checkSignature(const SigningKeys& keys, const std::string& text,
                               ParsedSignature* parsed, SignedFacts* facts) {
  std::vector<std::string> lines = linesOf(text);
  if (lines.size() < 4 || !lines[0].starts_with(kUntrustedPrefix) ||
      !lines[2].starts_with(kTrustedPrefix))
    return SignatureProblem::kNotASignature;
  std::optional<std::string> signature = decodeBase64(lines[1], 2 + 8 + crypto_sign_BYTES);
  std::optional<std::string> global = decodeBase64(lines[3], crypto_sign_BYTES);
  if (!signature || !global) return SignatureProblem::kNotASignature;
  parsed->algorithm = signature->substr(0, 2);
  if (parsed->algorithm != "ED" && parsed->algorithm != "Ed")
    return SignatureProblem::kUnknownAlgorithm;
  std::array<unsigned char, 8> keyId;
  memcpy(keyId.data(), signature->data() + 2, keyId.size());
  auto made =
      std::find_if(keys.begin(), keys.end(), [&](const SigningKey& k) { return k.id == keyId; });
  if (made == keys.end()) {
    std::string ours;
    for (const SigningKey& k : keys) ours += (ours.empty() ? "" : " or ") + keyIdText(k.id);
    return {SignatureProblem::kOtherKey, keyIdText(keyId) + ", not with " + ours};
  }
  parsed->key = &*made;
  parsed->archiveSignature = signature->substr(10);
  std::string comment = lines[2].substr(strlen(kTrustedPrefix));
  if (!verifies(*global, parsed->archiveSignature + comment, *parsed->key))
    return SignatureProblem::kCommentAltered;
  *facts = factsOf(comment);
  return {};
}

std::string_view bytesOf(const ArchiveHash& hash) {
  return {reinterpret_cast<const char*>(hash.data()), hash.size()};
}

}  // namespace

std::string describe(const SignatureStatus& status) {
  switch (status.code()) {
    case SignatureProblem::kNotASignature:
      return "the signature file is not a minisign signature";
    case SignatureProblem::kUnknownAlgorithm:
      return "the signature file names an unknown algorithm";
    case SignatureProblem::kOtherKey:
      return "the signature was made with the key " + status.subject();
    case SignatureProblem::kCommentAltered:
      return "the trusted comment does not match its signature";
    case SignatureProblem::kArchiveAltered:
      return "the archive does not match its signature";
    case SignatureProblem::kArchiveUnreadable:
      return "the archive could not be read: " + status.subject();
    case SignatureProblem::kSignsTheFile:
      return "the older signature format signs the archive itself";
  }
  return "";
}

SignatureStatus verifyArchiveSignature(const SigningKeys& keys, const std::string& signatureText,
                                       const ArchiveHash& hash, const std::string* archivePath,
                                       SignedFacts* facts) {
  ParsedSignature parsed;
  SignatureStatus status = checkSignature(keys, signatureText, &parsed, facts);
  if (!status.ok()) return status;
  if (parsed.algorithm == "Ed") {
    if (!archivePath) return SignatureProblem::kSignsTheFile;
    return verifyOverFile(parsed.archiveSignature, *archivePath, *parsed.key);
  }
  if (!verifies(parsed.archiveSignature, bytesOf(hash), *parsed.key))
    return SignatureProblem::kArchiveAltered;
  return {};
}

SignatureStatus verifyTrustedComment(const SigningKeys& keys, const std::string& signatureText,
                                     SignedFacts* facts) {
  ParsedSignature parsed;
  return checkSignature(keys, signatureText, &parsed, facts);
}

ArchiveDigest::ArchiveDigest() : ring_(kRingBytes) {
  if (sodium_init() < 0) abort();  // only when the system gives no randomness at all
  crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
  thread_ = std::thread([this] { run(); });
}

ArchiveDigest::~ArchiveDigest() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ArchiveDigest::add(std::string_view bytes) {
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

void ArchiveDigest::waitUntilHashed(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return waiting_ == 0; });
}

void ArchiveDigest::restart() {
  std::unique_lock lock(mutex_);
  waitUntilHashed(lock);
  crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
}

ArchiveHash ArchiveDigest::finish() {
  std::unique_lock lock(mutex_);
  waitUntilHashed(lock);
  ArchiveHash hash;
  crypto_generichash_final(&state_, hash.data(), hash.size());
  return hash;
}

void ArchiveDigest::run() {
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

// The vendor's signature over a downloaded agent archive. A bundle that carries the vendor's
// public keys ("installAgentKey.pub": one or more keys, one after another, as `minisign -G`
// writes each) starts a downloaded agent only when the archive's signature file (`minisign -Sm`,
// served at the archive's URL + ".minisig") holds for it under one of them: the signature of the
// archive ("ED": of its BLAKE2b-512 hash; the older "Ed": of the file itself), made by that key,
// and the global signature over it and its trusted comment. Verified with libsodium. Stateless
// functions, safe on any thread; `ArchiveDigest` hashes on a thread of its own.
#pragma once

#include <sodium.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/status.h"

struct SigningKey {
  std::array<unsigned char, 8> id;  // minisign's key number, as the signature names its key
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
};

using ArchiveHash = std::array<unsigned char, crypto_generichash_BYTES_MAX>;

// The vendor's keys; a signature by any of them holds. Empty: the bundle has no key.
using SigningKeys = std::vector<SigningKey>;

// What a signature that holds says in its trusted comment, as `minisign -S` writes it by
// default ("timestamp:N<tab>file:NAME<tab>hashed"); a comment of the vendor's own has neither.
struct SignedFacts {
  std::string trustedComment;
  std::optional<int64_t> timestamp;  // seconds since 1970
  std::optional<std::string> file;   // the name of the file signed
};

// The key file in the bundle's resources.
std::string signingKeyFilePath(const std::string& bundleLocation);

// The keys in `text`, a public key file's content: one or more, each an "untrusted comment:"
// line and its base64 key. Empty, with the reason in `problem`, when it is anything else.
SigningKeys parseSigningKeys(const std::string& text, std::string* problem);

// Reads the bundle's keys into `keys`; without a key file they stay empty. False, with the
// failure's message naming the file in `problem`, when anything stands under the key file's
// name (a link that leads nowhere, a directory, an unreadable file) that holds no key.
bool readSigningKeys(const std::string& bundleLocation, SigningKeys* keys, std::string* problem);

// The key number as minisign prints it (16 hexadecimal digits).
std::string keyIdText(const std::array<unsigned char, 8>& id);

// Why a signature does not hold.
enum class SignatureProblem {
  kNotASignature,     // the text is not a minisign signature file
  kUnknownAlgorithm,  // neither "ED" nor "Ed"
  kOtherKey,          // made by another key; `subject` names it and the bundle's keys
  kCommentAltered,    // the global signature over the trusted comment fails
  kArchiveAltered,    // the archive's signature fails
  kArchiveUnreadable,  // `subject`: why the archive could not be read
  kSignsTheFile,       // the older algorithm, for an archive known only by its hash
};
using SignatureStatus = host::Status<SignatureProblem>;

// Why the signature does not hold, in English, for the log.
std::string describe(const SignatureStatus& status);

// Whether `signatureText`, a signature file's content, is a valid signature by one of `keys`
// of the archive with BLAKE2b-512 hash `hash`, stored at `archivePath` (read only for the older
// algorithm, which signs the file itself; without it, as the cache knows an archive, that never
// holds). `facts` gets what the trusted comment says.
SignatureStatus verifyArchiveSignature(const SigningKeys& keys, const std::string& signatureText,
                                       const ArchiveHash& hash, const std::string* archivePath,
                                       SignedFacts* facts);

// Whether the trusted comment of `signatureText` was signed by one of `keys` (whatever archive
// the signature is of); `facts` gets what it says.
SignatureStatus verifyTrustedComment(const SigningKeys& keys, const std::string& signatureText,
                                     SignedFacts* facts);

// The BLAKE2b-512 hash of an archive, computed while it downloads on a thread of its own, so
// the download does not wait for it. The bytes pass through a ring of a few megabytes (`add`
// waits while it is full); nothing is allocated per piece.
class ArchiveDigest {
 public:
  ArchiveDigest();
  ~ArchiveDigest();
  ArchiveDigest(const ArchiveDigest&) = delete;
  ArchiveDigest& operator=(const ArchiveDigest&) = delete;

  // The next bytes of the archive.
  void add(std::string_view bytes);
  // Forgets what was added: the archive starts over.
  void restart();
  // The hash of everything added since the last restart, once it is computed; once, unless
  // a restart follows.
  ArchiveHash finish();

 private:
  void run();
  // Waits, with `lock` held on `mutex_`, until every byte added is in the hash.
  void waitUntilHashed(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<unsigned char> ring_;
  size_t first_ = 0;     // where the bytes not yet hashed begin in the ring
  size_t waiting_ = 0;   // how many there are, those being hashed included
  bool ending_ = false;
  crypto_generichash_state state_;  // the thread's, except while nothing waits
  std::thread thread_;
};

// The vendor's signature over a downloaded agent archive. A bundle that carries the vendor's
// public key ("installAgentKey.pub", as `minisign -G` writes it) starts a downloaded agent only
// when the archive's signature file (`minisign -Sm`, served at the archive's URL + ".minisig")
// holds for it under that key: the signature of the archive ("ED": of its BLAKE2b-512 hash; the
// older "Ed": of the file itself), made by that key, and the global signature over it and its
// trusted comment. Verified with libsodium. Stateless functions, safe on any thread;
// `ArchiveDigest` hashes on a thread of its own.
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

#include "provisioning/message.h"

struct SigningKey {
  std::array<unsigned char, 8> id;  // minisign's key number, as the signature names its key
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
};

using ArchiveHash = std::array<unsigned char, crypto_generichash_BYTES_MAX>;

// The key file in the bundle's resources.
std::string signingKeyFilePath(const std::string& bundleLocation);

// The key in `text`, a public key file's content; nothing, with the reason in `problem`, when
// it holds none.
std::optional<SigningKey> parseSigningKey(const std::string& text, std::string* problem);

// Reads the bundle's key into `key`; without a key file it stays empty. False, reported with
// the file's path, when the file is there but is no key.
bool readSigningKey(const std::string& bundleLocation, std::optional<SigningKey>* key,
                    MessageCallback report);

// The key number as minisign prints it (16 hexadecimal digits).
std::string keyIdText(const std::array<unsigned char, 8>& id);

// Empty when `signatureText`, a signature file's content, is `key`'s valid signature of the
// archive with BLAKE2b-512 hash `hash`, stored at `archivePath` (read only for the older
// algorithm); otherwise the precise reason. `trustedComment` gets the signed comment.
std::string verifyArchiveSignature(const SigningKey& key, const std::string& signatureText,
                                   const ArchiveHash& hash, const std::string& archivePath,
                                   std::string* trustedComment);

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

// The archive's signature file as the installer checks it (provisioning/signature.h
// `verifyArchiveSignature`, with the archive's file and, as the cache's proof is checked again,
// without it; `verifyTrustedComment`), under a fixed key, for a fixed archive: a signature either
// holds, and then gives what its trusted comment says, or says why not. The seed corpus holds this
// key's real signatures of the archive ("ED" and the older "Ed"), so that the search reaches the
// checks behind the parsing.
#include <sodium.h>

#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "provisioning/signature.h"

namespace {

// `minisign -G` for the fuzz targets; its secret half signed the seeds.
constexpr char kPublicKey[] =
    "untrusted comment: minisign public key 92A7B2FE51154DFD\n"
    "RWT9TRVR/rKnkhp0Kw6+JWJuDyDQyDCpc9pcNh9Tm/lWSm+ahqRvQC/j\n";
constexpr char kArchive[] = "an agent archive, as the fuzz targets sign it\n";

struct SignedArchive {
  SignedArchive() {
    std::string problem;
    keys = parseSigningKeys(kPublicKey, &problem);
    if (keys.empty() || sodium_init() < 0) abort();
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(kArchive),
                       sizeof kArchive - 1, nullptr, 0);
    path = (fuzz::scratchDirectory() / "archive").string();
    fuzz::writeWhole(path, std::string_view(kArchive, sizeof kArchive - 1));
  }
  SigningKeys keys;
  ArchiveHash hash;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const SignedArchive archive;
  const std::string text(fuzz::textOf(data, size));
  SignedFacts archiveFacts, hashFacts, commentFacts{"unchanged", std::nullopt, std::nullopt};
  bool archiveHolds =
      verifyArchiveSignature(archive.keys, text, archive.hash, &archive.path, &archiveFacts).ok();
  bool hashHolds =
      verifyArchiveSignature(archive.keys, text, archive.hash, nullptr, &hashFacts).ok();
  bool commentHolds = verifyTrustedComment(archive.keys, text, &commentFacts).ok();
  // A comment whose signature fails says nothing; whatever holds for the archive holds for its
  // comment, and what holds for the hash holds for the archive.
  if (!commentHolds) FUZZ_CHECK(commentFacts.trustedComment == "unchanged");
  if (archiveHolds) FUZZ_CHECK(commentHolds);
  if (hashHolds) FUZZ_CHECK(archiveHolds);
  if (commentHolds && commentFacts.file)
    FUZZ_CHECK(commentFacts.trustedComment.find("file:" + *commentFacts.file) != std::string::npos);
  return 0;
}

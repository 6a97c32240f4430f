// The archive's signature file as the installer checks it (provisioning/signed_archive.h
// `verifyArchiveSignature`, with the archive's file and, as the cache's proof is checked again,
// without it; `verifyDownload`, and the proof it makes), under a fixed key, for a fixed archive:
// a signature either holds, and then gives what its trusted comment says, or says why not. The seed
// corpus holds this key's real signatures of the archive ("ED" and the older "Ed"), so that the
// search reaches the checks behind the parsing.
#include <sodium.h>

#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "provisioning/signed_archive.h"

namespace {

// `minisign -G` for the fuzz targets; its secret half signed the seeds.
constexpr char kPublicKey[] =
    "untrusted comment: minisign public key 92A7B2FE51154DFD\n"
    "RWT9TRVR/rKnkhp0Kw6+JWJuDyDQyDCpc9pcNh9Tm/lWSm+ahqRvQC/j\n";
constexpr char kArchive[] = "an agent archive, as the fuzz targets sign it\n";

struct SignedArchive {
  SignedArchive() {
    if (!parseSigningKeys(kPublicKey, &keys).ok() || sodium_init() < 0) abort();
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
  SignedFacts archiveFacts, hashFacts, facts{"unchanged", std::nullopt, std::nullopt};
  bool archiveHolds =
      verifyArchiveSignature(archive.keys, text, archive.hash, &archive.path, &archiveFacts).ok();
  bool hashHolds =
      verifyArchiveSignature(archive.keys, text, archive.hash, nullptr, &hashFacts).ok();
  // The name it is signed for, and a clock far ahead: only the signature decides.
  const int64_t now = INT64_MAX / 4;
  const DownloadedArchive downloaded{archive.path, archiveFacts.file.value_or(""), archive.hash};
  std::string proof;
  SignatureStatus download =
      verifyDownload(archive.keys, downloaded, text, "", now, &facts, &proof);
  // What holds for the hash holds for the archive; what the download takes, the archive's
  // signature holds for, and its proof holds as the signature does and keeps its time.
  if (hashHolds) FUZZ_CHECK(archiveHolds);
  if (download.ok())
    FUZZ_CHECK(archiveHolds && facts.trustedComment == archiveFacts.trustedComment);
  if (download.ok()) FUZZ_CHECK(verifyProof(archive.keys, proof).ok() == hashHolds);
  if (download.ok() && facts.timestamp)
    FUZZ_CHECK(replayFloor(archive.keys, proof, now) == facts.timestamp);
  if (archiveHolds && archiveFacts.file)
    FUZZ_CHECK(archiveFacts.trustedComment.find("file:" + *archiveFacts.file) != std::string::npos);
  return 0;
}

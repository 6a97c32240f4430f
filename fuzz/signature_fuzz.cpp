// The archive's signature file as the installer checks it (provisioning/signature.h
// `verifyArchiveSignature`), under a fixed key, for a fixed archive: a signature either holds, and
// then gives its trusted comment, or says why not. The seed corpus holds this key's real
// signatures of the archive ("ED" and the older "Ed"), so that the search reaches the checks
// behind the parsing.
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
    std::optional<SigningKey> parsed = parseSigningKey(kPublicKey, &problem);
    if (!parsed || sodium_init() < 0) abort();
    key = *parsed;
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(kArchive),
                       sizeof kArchive - 1, nullptr, 0);
    path = (fuzz::scratchDirectory() / "archive").string();
    fuzz::writeWhole(path, std::string_view(kArchive, sizeof kArchive - 1));
  }
  SigningKey key;
  ArchiveHash hash;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const SignedArchive archive;
  std::string comment = "unchanged";
  std::string failure = verifyArchiveSignature(archive.key, std::string(fuzz::textOf(data, size)),
                                               archive.hash, archive.path, &comment);
  // A failed check hands out no comment.
  if (!failure.empty()) FUZZ_CHECK(comment == "unchanged");
  return 0;
}

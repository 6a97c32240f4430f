#include "provisioning/signed_archive.h"

#include <sodium.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

using testsupport::readFile;

constexpr int64_t kNow = 1'700'000'000;
constexpr int64_t kDay = 24 * 60 * 60;

class SignedArchiveTest : public testsupport::ScratchTest {
 protected:
  void SetUp() override {
    for (const char* name : {"a", "b"}) {
      ASSERT_EQ(minisign("-G -W -p " + scratch.file(std::string(name) + ".pub") + " -s " +
                         scratch.file(std::string(name) + ".sec")),
                0);
    }
    archive.path = scratch.writeFile("agent.zip", "an agent archive");
    archive.name = "agent.zip";
    crypto_generichash(archive.hash.data(), archive.hash.size(),
                       reinterpret_cast<const unsigned char*>("an agent archive"), 16, nullptr, 0);
  }

  static int minisign(const std::string& arguments) {
    return system(("minisign " + arguments + " >/dev/null 2>&1").c_str());
  }
  // The keys of the key files named, one after another.
  SigningKeys keys(const std::string& names) const {
    std::string text;
    for (char name : names) text += readFile(scratch.file(std::string(1, name) + ".pub")) + "\n";
    SigningKeys parsed;
    EXPECT_TRUE(parseSigningKeys(text, &parsed).ok());
    return parsed;
  }
  // The archive's signature by `name`'s key with `comment`.
  std::string sign(const std::string& name, const std::string& comment,
                   const std::string& options = "") const {
    std::string signature = scratch.file("agent.zip.minisig");
    EXPECT_EQ(minisign("-S " + options + " -s " + scratch.file(name + ".sec") + " -m " +
                       archive.path + " -t '" + comment + "'"),
              0);
    return readFile(signature);
  }

  DownloadedArchive archive;
};

TEST_F(SignedArchiveTest, KeysAreReadOrSayWhyNot) {
  SigningKeys parsed;
  EXPECT_EQ(parseSigningKeys("not a key\n", &parsed).code(), KeyFileProblem::kNoKeyLines);
  KeyFileStatus notBase64 = parseSigningKeys("untrusted comment: k\nnot*base64\n", &parsed);
  EXPECT_EQ(notBase64.code(), KeyFileProblem::kNotBase64);
  EXPECT_EQ(notBase64.subject(), "2");
  EXPECT_EQ(parseSigningKeys(" \n\t\n", &parsed).code(), KeyFileProblem::kNoKey);
  EXPECT_TRUE(parsed.empty());
  // Blank lines between keys, and blanks an editor left after one, are no part of either.
  std::string two = readFile(scratch.file("a.pub")) + " \t\n" + readFile(scratch.file("b.pub"));
  EXPECT_TRUE(parseSigningKeys(two.insert(two.size() - 1, "  "), &parsed).ok());
  EXPECT_EQ(parsed.size(), 2u);
  EXPECT_EQ(keyIdText(parsed[0].id).size(), 16u);
}

// A run of downloads as the cache sees them: each is checked against the proof kept so far,
// which a download that holds replaces, as the cache does when it puts the agent in place.
TEST_F(SignedArchiveTest, DownloadsHoldOnlyWhenSignedForThisArchiveAndNoReplay) {
  struct Row {
    const char* name;
    const char* signer;
    std::string comment;
    const char* bundleKeys;
    SignatureProblem expected;  // kNoProof here: the download holds
    const char* options = "";
  };
  const auto at = [](int64_t time, const char* file = "agent.zip") {
    return "timestamp:" + std::to_string(time) + "\tfile:" + file;
  };
  const SignatureProblem holds = SignatureProblem::kNoProof;
  const Row rows[] = {
      {"signed", "a", at(200), "a", holds},
      {"older than the agent verified last", "a", at(100), "a", SignatureProblem::kOlder},
      {"another key's agent, older still", "b", at(150), "b", holds},
      {"the first key's floor outlives it", "a", at(100), "a", SignatureProblem::kOlder},
      {"with both keys, the newest floor", "a", at(180), "ab", SignatureProblem::kOlder},
      {"over a day in the future", "a", at(kNow + 2 * kDay), "a", SignatureProblem::kInTheFuture},
      {"a comment of the vendor's own keeps no time", "a", "release 7", "a", holds},
      {"ahead of the clock within a day", "a", at(kNow + kDay / 2), "a", holds},
      {"signed for another file", "a", at(kNow, "other.zip"), "a", SignatureProblem::kOtherFile},
      {"signed by a key the bundle lacks", "b", at(kNow + kDay), "a", SignatureProblem::kOtherKey},
      {"the older format, over the file", "a", at(kNow + kDay), "a", holds, "-l"},
  };
  std::string kept;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string signature = sign(row.signer, row.comment, row.options);
    SignedFacts facts;
    std::string proof;
    SignatureStatus status =
        verifyDownload(keys(row.bundleKeys), archive, signature, kept, kNow, &facts, &proof);
    if (row.expected != holds) {
      EXPECT_EQ(status.code(), row.expected);
      EXPECT_TRUE(proof.empty());
      continue;
    }
    ASSERT_TRUE(status.ok()) << static_cast<int>(status.code());
    EXPECT_EQ(facts.trustedComment, row.comment);
    // The proof vouches again for the agent under the key that signed it, under no other, and
    // never for the older format, which signs the file the cache no longer has.
    SignatureStatus again = verifyProof(keys(row.signer), proof);
    EXPECT_EQ(again.ok(), *row.options == '\0') << static_cast<int>(again.code());
    EXPECT_EQ(verifyProof(keys(*row.signer == 'a' ? "b" : "a"), proof).code(),
              SignatureProblem::kOtherKey);
    kept = proof;
  }
  EXPECT_EQ(replayFloor(keys("a"), kept, kNow), kNow + kDay);
  EXPECT_EQ(replayFloor(keys("b"), kept, kNow), 150);
  EXPECT_EQ(replayFloor(keys("a"), kept, kNow - 2 * kDay), std::nullopt)
      << "a floor from the future";
}

TEST_F(SignedArchiveTest, AlteredSignaturesAndArchivesDoNotHold) {
  const std::string signature = sign("a", "timestamp:1\tfile:agent.zip");
  SignedFacts facts;
  std::string comment = signature;
  comment.replace(comment.find("timestamp:1"), 11, "timestamp:9");
  DownloadedArchive altered = archive;
  altered.hash[0] ^= 1;
  struct Row {
    const char* name;
    std::string signature;
    const DownloadedArchive& archive;
    SignatureProblem expected;
  } rows[] = {
      {"not a signature", "<html>oops</html>\n", archive, SignatureProblem::kNotASignature},
      {"trusted comment altered", comment, archive, SignatureProblem::kCommentAltered},
      {"archive altered", signature, altered, SignatureProblem::kArchiveAltered},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string proof;
    EXPECT_EQ(
        verifyDownload(keys("a"), row.archive, row.signature, "", kNow, &facts, &proof).code(),
        row.expected);
  }
  // The older format over a file that changed after signing.
  std::string overFile = sign("a", "timestamp:1\tfile:agent.zip", "-l");
  testsupport::writeFile(archive.path, "an agent archive, altered");
  EXPECT_EQ(verifyArchiveSignature(keys("a"), overFile, archive.hash, &archive.path, &facts).code(),
            SignatureProblem::kArchiveAltered);
  EXPECT_EQ(verifyProof(keys("a"), "not a proof").code(), SignatureProblem::kNoProof);
}

}  // namespace

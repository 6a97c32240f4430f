#include "provisioning/signed_archive.h"

#include <sodium.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

using testsupport::readFile;

constexpr int64_t kNow = 1'700'000'000;
constexpr int64_t kDay = 24 * 60 * 60;

int minisign(const std::string& arguments) {
  return system(("minisign " + arguments + " >/dev/null 2>&1").c_str());
}

class SignedArchiveTest : public testsupport::ScratchTest {
 protected:
  void SetUp() override {
    for (std::string name : {"a", "b"})
      ASSERT_EQ(minisign("-G -W -p " + scratch.file(name + ".pub") + " -s " +
                         scratch.file(name + ".sec")),
                0);
    archive = {scratch.writeFile("agent.zip", "an agent archive"), "agent.zip", {}};
    crypto_generichash(archive.hash.data(), archive.hash.size(),
                       reinterpret_cast<const unsigned char*>("an agent archive"), 16, nullptr, 0);
  }
  // The keys of the key files named, one after another.
  SigningKeys keys(const std::string& names) const {
    std::string text;
    for (char name : names) text += readFile(scratch.file(std::string(1, name) + ".pub")) + "\n";
    SigningKeys parsed;
    EXPECT_TRUE(parseSigningKeys(text, &parsed).ok());
    return parsed;
  }

  DownloadedArchive archive;
};

TEST_F(SignedArchiveTest, KeyFilesThatHoldNoKeySayWhy) {
  SigningKeys parsed;
  KeyFileStatus notBase64 = parseSigningKeys("untrusted comment: k\nnot*base64\n", &parsed);
  EXPECT_EQ(notBase64.code(), KeyFileProblem::kNotBase64);
  EXPECT_EQ(notBase64.subject(), "2");  // the line
  EXPECT_EQ(parseSigningKeys(" \n\t\n", &parsed).code(), KeyFileProblem::kNoKey);
  EXPECT_TRUE(parsed.empty());
}

// A run of downloads as the cache sees them: each is checked against the proof kept so far,
// which a download that holds replaces, as the cache does when it puts the agent in place.
TEST_F(SignedArchiveTest, DownloadsHoldOnlyWhenSignedForThisArchiveAndNoReplay) {
  using Tamper = std::function<void(std::string & signature, DownloadedArchive & archive)>;
  struct Row {
    const char* name;
    const char* signer;
    std::string comment;
    const char* bundleKeys;
    SignatureProblem expected;  // kNoProof here: the download holds
    const char* options = "";
    Tamper tamper = [](std::string&, DownloadedArchive&) {};
  };
  const auto at = [](int64_t time, const char* file = "agent.zip") {
    return "timestamp:" + std::to_string(time) + "\tfile:" + file;
  };
  using P = SignatureProblem;
  const P holds = P::kNoProof;
  const Row rows[] = {
      {"signed", "a", at(200), "a", holds},
      {"older than the agent verified last", "a", at(100), "a", P::kOlder},
      {"another key's agent, older still", "b", at(150), "b", holds},
      {"the first key's floor outlives it", "a", at(100), "a", P::kOlder},
      {"with both keys, the newest floor", "a", at(180), "ab", P::kOlder},
      {"over a day in the future", "a", at(kNow + 2 * kDay), "a", P::kInTheFuture},
      {"a comment of the vendor's own keeps no time", "a", "release 7", "a", holds},
      {"ahead of the clock within a day", "a", at(kNow + kDay / 2), "a", holds},
      {"signed for another file", "a", at(kNow, "other.zip"), "a", P::kOtherFile},
      {"signed by a key the bundle lacks", "b", at(kNow + kDay), "a", P::kOtherKey},
      {"not a signature", "a", at(kNow + kDay), "a", P::kNotASignature, "",
       [](std::string& s, DownloadedArchive&) { s = "<html>oops</html>\n"; }},
      {"trusted comment altered", "a", at(kNow + kDay), "a", P::kCommentAltered, "",
       [](std::string& s, DownloadedArchive&) {
         s.replace(s.find("timestamp:"), 10, "timestamp:9");
       }},
      {"archive altered", "a", at(kNow + kDay), "a", P::kArchiveAltered, "",
       [](std::string&, DownloadedArchive& a) { a.hash[0] ^= 1; }},
      {"the older format, over a file altered since", "a", at(kNow + kDay), "a", P::kArchiveAltered,
       "-l", [&](std::string&, DownloadedArchive& a) { a.path = scratch.writeFile("x.zip", "x"); }},
      {"the older format, over the file", "a", at(kNow + kDay), "a", holds, "-l"},
  };
  std::string kept;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(minisign("-S " + std::string(row.options) + " -s " +
                       scratch.file(std::string(row.signer) + ".sec") + " -m " + archive.path +
                       " -t '" + row.comment + "'"),
              0);
    std::string signature = readFile(archive.path + ".minisig");
    DownloadedArchive downloaded = archive;
    row.tamper(signature, downloaded);
    SignedFacts facts;
    std::string proof;
    SignatureStatus status =
        verifyDownload(keys(row.bundleKeys), downloaded, signature, kept, kNow, &facts, &proof);
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
    EXPECT_EQ(verifyProof(keys(*row.signer == 'a' ? "b" : "a"), proof).code(), P::kOtherKey);
    kept = proof;
  }
  EXPECT_EQ(replayFloor(keys("a"), kept, kNow), kNow + kDay);
  EXPECT_EQ(replayFloor(keys("b"), kept, kNow), 150);
  EXPECT_EQ(replayFloor(keys("a"), kept, kNow - 2 * kDay), std::nullopt)
      << "a floor from the future";
  EXPECT_EQ(verifyProof(keys("a"), "not a proof").code(), P::kNoProof);
}

}  // namespace

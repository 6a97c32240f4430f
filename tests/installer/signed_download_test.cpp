// Signed downloads end to end: a bundle with the vendor's key starts a downloaded agent only when
// the archive's signature, served beside it by nginx, holds. Keys and signatures are made by
// the minisign tool itself.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/download_fixture.h"
#include "support/nginx_server.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using testsupport::BundleBuilder;
using testsupport::loggedContaining;
using testsupport::readFile;
using testsupport::Reply;
using testsupport::RunResult;

class SignedDownloadTest : public testsupport::DownloadRunTest {
 public:
  void SetUp() override {
    DownloadRunTest::SetUp();
    www = scratch.makeDir("www");
    keys = scratch.makeDir("keys");
    ASSERT_EQ(minisign("-G -W -p " + key("vendor.pub") + " -s " + key("vendor.sec")), 0);
    ASSERT_EQ(minisign("-G -W -p " + key("other.pub") + " -s " + key("other.sec")), 0);
    ASSERT_EQ(minisign("-G -W -p " + key("next.pub") + " -s " + key("next.sec")), 0);
    // A key file during a key's rotation: the vendor's key, a line of blanks, then its
    // successor, whose line ends with blanks that an editor left.
    vendorKeys = readFile(key("vendor.pub")) + " \t\n" + readFile(key("next.pub"));
    vendorKeys.insert(vendorKeys.size() - 1, "  ");
  }

  std::string key(const std::string& name) const { return keys + "/" + name; }
  std::string archive() const { return www + "/agent.zip"; }
  std::string signature() const { return archive() + ".minisig"; }

  static int minisign(const std::string& arguments) {
    return system(("minisign " + arguments + " >/dev/null 2>&1").c_str());
  }
  // Signs the served archive with `secretKey`; `options` as minisign takes them.
  void sign(const std::string& secretKey, const std::string& options = "",
            const std::string& comment = "release 7") const {
    ASSERT_EQ(minisign("-S " + options + " -s " + key(secretKey) + " -m " + archive() + " -t '" +
                       comment + "'"),
              0);
  }

  BundleBuilder signedBundle(const std::string& url, const std::string& keyText) {
    BundleBuilder bundle = makeBundle(url);
    bundle.addResource("installAgentKey.pub", keyText);
    return bundle;
  }

  std::string www, keys, vendorKeys;
};

TEST_F(SignedDownloadTest, OnlyAnArchiveItsVendorSignedIsUsed) {
  testsupport::NginxServer nginx(www);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  struct Case {
    const char* name;
    void (*prepare)(SignedDownloadTest&);  // serves the archive and its signature file
    const char* reason;                    // in the logged failure; nullptr: the run succeeds
    const char* shown = "Failed to verify the installer.";
    const char* query = "";  // after the archive's URL
  };
  const Case cases[] = {
      {"no signature file", [](SignedDownloadTest&) {}, "agent.zip.minisig: the server answered",
       "Failed to verify the installer.", "?token=s3cret"},  // a secret no line may show
      {"made with another key", [](SignedDownloadTest& t) { t.sign("other.sec"); },
       "was made with the key"},
      {"archive altered after signing",
       [](SignedDownloadTest& t) {
         t.sign("vendor.sec");
         testsupport::writeFile(t.archive(), readFile(t.archive()) + "tail");
       },
       "the archive does not match its signature"},
      {"empty archive, signed",
       [](SignedDownloadTest& t) {
         testsupport::writeFile(t.archive(), "");
         t.sign("vendor.sec");
       },
       "", "Failed to unzip the installer."},
      // After every failure above, a good archive is downloaded and started.
      {"signed in the older format", [](SignedDownloadTest& t) { t.sign("vendor.sec", "-l"); },
       nullptr},
      {"signed by the next key", [](SignedDownloadTest& t) { t.sign("next.sec"); }, nullptr},
      {"signed", [](SignedDownloadTest& t) { t.sign("vendor.sec"); }, nullptr},
      {"signed, its URL with a query", [](SignedDownloadTest& t) { t.sign("vendor.sec"); }, nullptr,
       "", "?token=7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cacheDir());
    std::filesystem::remove(record());
    std::filesystem::remove(signature());
    testsupport::writeFile(archive(), agentArchive(0));
    c.prepare(*this);
    RunResult result =
        runInstaller(signedBundle(nginx.url("/agent.zip") + c.query, vendorKeys), {"Setup"});
    EXPECT_EQ(result.err.find("s3cret"), std::string::npos) << result.err;
    if (c.reason) {
      expectFailedRun(result, c.shown);
      EXPECT_TRUE(loggedContaining(result.err, c.reason)) << result.err;
      if (*c.reason)
        EXPECT_FALSE(testsupport::pathExists(tagFile())) << "a tag vouches for an unverified agent";
      EXPECT_FALSE(testsupport::pathExists(agentEntry()));
    } else {
      EXPECT_EQ(result.exitCode, 0) << result.describe();
      EXPECT_EQ(agentRuns().size(), 1u);
      EXPECT_TRUE(loggedContaining(result.err, "trusted comment: release 7")) << result.err;
      EXPECT_TRUE(testsupport::pathExists(tagFile()));
    }
    std::filesystem::remove(record());
  }

  // A current cache starts its agent as before: it was verified when it was stored.
  std::filesystem::remove(signature());
  RunResult cached = runInstaller(signedBundle(nginx.url("/agent.zip"), vendorKeys), {"Setup"});
  EXPECT_EQ(cached.exitCode, 0) << cached.describe();
  EXPECT_EQ(agentRuns().size(), 1u);
}

TEST_F(SignedDownloadTest, ArchiveAndSignatureThatArriveHaltingly) {
  testsupport::writeFile(archive(), agentArchive(0));
  sign("vendor.sec");
  const std::string url = "/agent.zip";
  Reply whole = archiveReply(readFile(archive()), "\"v1\"");
  // The archive broken off by a server without ranges: its hash starts over with the file.
  Reply brokenOff = whole;
  brokenOff.resetAfter = static_cast<int64_t>(whole.body.size() / 2);
  brokenOff.dripBytes = 4096;
  brokenOff.dripInterval = std::chrono::milliseconds(5);
  Reply late = archiveReply(readFile(signature()), "\"s1\"");
  late.dripBytes = 40;  // the archive is in long before
  late.dripInterval = std::chrono::milliseconds(40);
  Reply cut = late;
  cut.resetAfter = 80;
  Reply resumable = cut;
  resumable.acceptRanges = true;
  struct Case {
    const char* name;
    std::vector<Reply> archive, signature;  // the answers in turn
    bool succeeds;
  };
  const Case cases[] = {
      {"signature comes late", {whole}, {late}, true},
      {"archive broken off, then whole", {brokenOff, whole}, {late}, true},
      {"signature broken off, then the rest", {whole}, {resumable, late}, true},
      {"signature breaks off every time", {whole}, {cut}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cacheDir());
    std::filesystem::remove(record());
    testsupport::TestHttpServer server;
    server.serveInTurn(url, c.archive);
    server.serveInTurn(url + ".minisig", c.signature);
    RunResult result = runInstaller(signedBundle(server.url(url), vendorKeys), {"Setup"});
    if (!c.succeeds) {
      expectFailedRun(result, "Failed to verify the installer.");
      EXPECT_TRUE(loggedContaining(result.err, "no signature from " + server.url(url + ".minisig")))
          << result.err;
      EXPECT_FALSE(testsupport::pathExists(tagFile()));
      continue;
    }
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    EXPECT_EQ(agentRuns().size(), 1u);
    EXPECT_EQ(server.hits(url), static_cast<int>(c.archive.size()));
    EXPECT_EQ(server.hits(url + ".minisig"), static_cast<int>(c.signature.size()));
    if (c.signature.size() > 1) {
      EXPECT_TRUE(server.lastRequest(url + ".minisig")->header("Range")) << "not resumed";
    }
  }
}

// The cache is shared with bundles that check nothing: a signed bundle starts a cached agent
// only when the proof kept beside it holds under its keys, and never takes an older one.
TEST_F(SignedDownloadTest, CachedAgentStartsOnlyOnItsProof) {
  testsupport::NginxServer nginx(www);  // answers 304 to the tag it finds current
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  testsupport::TestHttpServer server;  // answers as told
  // A bundle with `keyText` as its key file; without a key file when it is empty.
  auto bundle = [&](const std::string& url, const std::string& keyText) {
    BundleBuilder b = keyText.empty() ? makeBundle(url) : signedBundle(url, keyText);
    if (keyText.empty()) std::filesystem::remove(b.resourcesPath() + "/installAgentKey.pub");
    return b;
  };
  auto runs = [&](const std::string& url, const std::string& keyText) {
    std::filesystem::remove(record());
    RunResult result = runInstaller(bundle(url, keyText), {"Setup"});
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    return agentRuns().size();
  };
  auto fails = [&](const std::string& url, const std::string& reason) {
    std::filesystem::remove(record());
    RunResult result = runInstaller(bundle(url, vendorKeys), {"Setup"});
    expectFailedRun(result, "Failed to verify the installer.");
    EXPECT_TRUE(loggedContaining(result.err, reason)) << result.err;
  };
  // Serves a new archive as `tag`, signed with `comment` (and minisign's `options`) by `secret`.
  auto serve = [&](const std::string& tag, const std::string& comment,
                   const std::string& options = "", const std::string& secret = "vendor.sec") {
    testsupport::writeFile(archive(), agentArchive(0));
    sign(secret, options, comment);
    server.serve("/agent.zip", archiveReply(readFile(archive()), tag));
    server.serve("/agent.zip.minisig", archiveReply(readFile(signature()), ""));
  };
  const std::string url = server.url("/agent.zip");

  // Stored by a bundle without a key, the agent is nobody's as far as anyone knows: neither a
  // 304 nor an unchanged tag lets it start, and its signature is asked for.
  testsupport::writeFile(archive(), agentArchive(0));
  ASSERT_EQ(runs(nginx.url("/agent.zip"), ""), 1u);
  fails(nginx.url("/agent.zip"), "answered with status 404");
  server.serve("/agent.zip", archiveReply(readFile(archive()), "\"v1\""));
  ASSERT_EQ(runs(url, ""), 1u);
  fails(url, "answered with status 404");

  // Verified, it starts on its proof, also when the server answers with an empty body; and a
  // release signed over a day ahead of the clock is refused without costing the user that agent.
  serve("\"v2\"", "timestamp:200\tfile:agent.zip");
  ASSERT_EQ(runs(url, vendorKeys), 1u);
  const auto inTenDays = std::chrono::system_clock::now() + std::chrono::hours(240);
  serve("\"v9\"", "timestamp:" + std::to_string(std::chrono::system_clock::to_time_t(inTenDays)) +
                      "\tfile:agent.zip");
  fails(url, "signed in the future");
  const int signatureRequests = server.hits("/agent.zip.minisig");
  server.serve("/agent.zip", archiveReply("", "\"v2\""));
  EXPECT_EQ(runs(url, vendorKeys), 1u);
  EXPECT_EQ(server.hits("/agent.zip.minisig"), signatureRequests);

  // An agent that a bundle without a key puts in its place takes nothing from that proof, even
  // should its directory get the same identity (the line after the tag); the signing time stays.
  server.serve("/agent.zip", archiveReply(readFile(archive()), "\"u1\""));
  ASSERT_EQ(runs(url, ""), 1u);
  EXPECT_TRUE(readFile(cacheDir() + ".agentproof").starts_with("\"v2\"\n\n"));

  // An archive signed before the agent verified last under the bundle's keys is a replay, also
  // after a failed run, and after another key's agent took the cache meanwhile.
  serve("\"w1\"", "timestamp:150\tfile:agent.zip", "", "other.sec");
  ASSERT_EQ(runs(url, readFile(key("other.pub"))), 1u);
  serve("\"v0\"", "timestamp:100\tfile:agent.zip");
  fails(url, "older than the agent already installed");
  fails(url, "older than the agent already installed");

  // The older signature format signs the archive itself: the cache cannot prove that agent.
  serve("\"v3\"", "timestamp:300\tfile:agent.zip", "-l");
  ASSERT_EQ(runs(url, vendorKeys), 1u);
  server.serve("/agent.zip.minisig", Reply{.status = 404});
  fails(url, "answered with status 404");
}

TEST_F(SignedDownloadTest, KeyFileDecidesBeforeAnyDownload) {
  testsupport::NginxServer nginx(www);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  testsupport::writeFile(archive(), agentArchive(0));

  // Anything under the key file's name that holds no key ends the run at once, naming the file.
  BundleBuilder broken = signedBundle(nginx.url("/agent.zip"), "not a key\n");
  const std::string keyFile = broken.resourcesPath() + "/installAgentKey.pub";
  const std::pair<const char*, const char*> entries[] = {
      {"", "it does not hold \"untrusted comment:\" lines, each followed by a key"},
      {"missing.pub", "it cannot be read"},
      {"installAgentKey.pub", "it cannot be read"},  // a link to itself
  };
  for (const auto& [linkTarget, why] : entries) {
    SCOPED_TRACE(linkTarget);
    if (*linkTarget) {
      std::filesystem::remove(keyFile);
      std::filesystem::create_symlink(linkTarget, keyFile);
    }
    RunResult result = runInstaller(broken, {"Setup"});
    expectFailedRun(
        result, "The signing key file " + keyFile + " is not a minisign public key: " + why + ".");
    EXPECT_EQ(nginx.accessLog(), "") << "nothing may be downloaded";
  }

  // Without a key the road is as before; plain http says so, without the URL's secrets.
  std::filesystem::remove(keyFile);
  std::string url = nginx.url("/agent.zip");
  broken.setEndpointFile(std::string(url).insert(7, "user:s3cret@") + "?token=s3cret\n");
  RunResult unsigned_ = runInstaller(broken, {"Setup"});
  EXPECT_EQ(unsigned_.exitCode, 0) << unsigned_.describe();
  EXPECT_TRUE(loggedContaining(unsigned_.err, "plain http and unsigned: anyone on the way can "
                                              "change it (" + url + ")"))
      << unsigned_.err;
}

}  // namespace

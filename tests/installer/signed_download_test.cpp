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
using testsupport::RunResult;

class SignedDownloadTest : public testsupport::DownloadRunTest {
 public:
  void SetUp() override {
    DownloadRunTest::SetUp();
    www = scratch.makeDir("www");
    keys = scratch.makeDir("keys");
    ASSERT_EQ(minisign("-G -W -p " + key("vendor.pub") + " -s " + key("vendor.sec")), 0);
    ASSERT_EQ(minisign("-G -W -p " + key("other.pub") + " -s " + key("other.sec")), 0);
  }

  std::string key(const std::string& name) const { return keys + "/" + name; }
  std::string archive() const { return www + "/agent.zip"; }
  std::string signature() const { return archive() + ".minisig"; }

  static int minisign(const std::string& arguments) {
    return system(("minisign " + arguments + " >/dev/null 2>&1").c_str());
  }
  // Signs the served archive with `secretKey`; `options` as minisign takes them.
  void sign(const std::string& secretKey, const std::string& options = "") const {
    ASSERT_EQ(minisign("-S " + options + " -s " + key(secretKey) + " -m " + archive() +
                       " -t 'release 7'"),
              0);
  }

  BundleBuilder signedBundle(const std::string& url, const std::string& keyText) {
    BundleBuilder bundle = makeBundle(url);
    bundle.addResource("installAgentKey.pub", keyText);
    return bundle;
  }

  std::string www, keys;
};

TEST_F(SignedDownloadTest, OnlyAnArchiveItsVendorSignedIsUsed) {
  testsupport::NginxServer nginx(www);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  const std::string vendorKey = readFile(key("vendor.pub"));
  struct Case {
    const char* name;
    void (*prepare)(SignedDownloadTest&);  // serves the archive and its signature file
    const char* reason;                    // in the logged failure; nullptr: the run succeeds
  };
  const Case cases[] = {
      {"no signature file", [](SignedDownloadTest&) {}, "answered with status 404"},
      {"not a signature file",
       [](SignedDownloadTest& t) { testsupport::writeFile(t.signature(), "<html>oops</html>\n"); },
       "is not a minisign signature"},
      {"made with another key", [](SignedDownloadTest& t) { t.sign("other.sec"); },
       "was made with the key"},
      {"archive altered after signing",
       [](SignedDownloadTest& t) {
         t.sign("vendor.sec");
         testsupport::writeFile(t.archive(), readFile(t.archive()) + "tail");
       },
       "the archive does not match its signature"},
      {"trusted comment altered",
       [](SignedDownloadTest& t) {
         t.sign("vendor.sec");
         std::string text = readFile(t.signature());
         text.replace(text.find("release 7"), 9, "release 8");
         testsupport::writeFile(t.signature(), text);
       },
       "the trusted comment does not match its signature"},
      // After every failure above, a good archive is downloaded and started.
      {"signed", [](SignedDownloadTest& t) { t.sign("vendor.sec"); }, nullptr},
      {"signed in the older format", [](SignedDownloadTest& t) { t.sign("vendor.sec", "-l"); },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cacheDir());
    std::filesystem::remove(record());
    std::filesystem::remove(signature());
    testsupport::writeFile(archive(), agentArchive(0));
    c.prepare(*this);
    RunResult result = runInstaller(signedBundle(nginx.url("/agent.zip"), vendorKey), {"Setup"});
    if (c.reason) {
      expectFailedRun(result, "Failed to verify the installer.");
      EXPECT_TRUE(loggedContaining(result.err, c.reason)) << result.err;
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
  RunResult cached = runInstaller(signedBundle(nginx.url("/agent.zip"), vendorKey), {"Setup"});
  EXPECT_EQ(cached.exitCode, 0) << cached.describe();
  EXPECT_EQ(agentRuns().size(), 1u);
}

TEST_F(SignedDownloadTest, SignatureThatComesAfterTheArchiveOrBreaksOff) {
  testsupport::writeFile(archive(), agentArchive(0));
  sign("vendor.sec");
  for (bool breaksOff : {false, true}) {
    SCOPED_TRACE(breaksOff ? "breaks off" : "comes late");
    std::filesystem::remove_all(cacheDir());
    std::filesystem::remove(record());
    testsupport::TestHttpServer server;
    server.serve("/agent.zip", archiveReply(readFile(archive()), "\"v1\""));
    testsupport::Reply late;
    late.body = readFile(signature());
    late.dripBytes = 40;  // the archive is in long before
    late.dripInterval = std::chrono::milliseconds(40);
    if (breaksOff) late.resetAfter = 80;
    server.serve("/agent.zip.minisig", late);
    RunResult result = runInstaller(
        signedBundle(server.url("/agent.zip"), readFile(key("vendor.pub"))), {"Setup"});
    if (breaksOff) {
      expectFailedRun(result, "Failed to verify the installer.");
      EXPECT_TRUE(
          loggedContaining(result.err, "no signature from " + server.url("/agent.zip.minisig")))
          << result.err;
      EXPECT_FALSE(testsupport::pathExists(tagFile()));
    } else {
      EXPECT_EQ(result.exitCode, 0) << result.describe();
      EXPECT_EQ(agentRuns().size(), 1u);
    }
  }
}

TEST_F(SignedDownloadTest, KeyFileDecidesBeforeAnyDownload) {
  testsupport::NginxServer nginx(www);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();
  testsupport::writeFile(archive(), agentArchive(0));

  // A key file that holds no key ends the run at once, naming the file.
  BundleBuilder broken = signedBundle(nginx.url("/agent.zip"), "not a key\n");
  RunResult result = runInstaller(broken, {"Setup"});
  expectFailedRun(result, "The signing key file " + broken.resourcesPath() +
                              "/installAgentKey.pub is not a minisign public key: it does not "
                              "start with an \"untrusted comment:\" line.");
  EXPECT_EQ(nginx.accessLog(), "") << "nothing may be downloaded";

  // Without a key the road is as before; plain http says so in the log.
  std::filesystem::remove(broken.resourcesPath() + "/installAgentKey.pub");
  RunResult unsigned_ = runInstaller(broken, {"Setup"});
  EXPECT_EQ(unsigned_.exitCode, 0) << unsigned_.describe();
  EXPECT_TRUE(loggedContaining(unsigned_.err, "comes over plain http and unsigned"))
      << unsigned_.err;
}

}  // namespace

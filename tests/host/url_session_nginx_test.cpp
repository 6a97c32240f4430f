// The URL session against a real production web server on loopback.
#include <chrono>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "host/url_session.h"
#include "support/nginx_server.h"
#include "support/recording_delegate.h"
#include "support/scratch_dir.h"
#include "support/test_http_server.h"

namespace {

using testsupport::NginxServer;
using testsupport::RecordingDelegate;

class UrlSessionWithNginx : public testsupport::ScratchTest {
 protected:
  void download(const std::string& url, RecordingDelegate& recorder) {
    host::UrlSessionConfiguration configuration;
    configuration.temporaryDirectory = scratch.makeDir("downloads");
    host::UrlSession session(configuration, &recorder);
    session.downloadTask(url)->resume();
    ASSERT_TRUE(recorder.waitForCompletion());
  }
};

TEST_F(UrlSessionWithNginx, DownloadsAFileWithTheServersOwnEntityTag) {
  std::string root = scratch.makeDir("www");
  std::string body = testsupport::TestHttpServer::generatedBody(3'000'000);
  scratch.writeFile("www/agent.zip", body);
  NginxServer nginx(root);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();

  RecordingDelegate recorder;
  download(nginx.url("/agent.zip"), recorder);
  EXPECT_FALSE(recorder.error().has_value()) << recorder.error()->description;
  EXPECT_EQ(recorder.body(), body);
  EXPECT_EQ(recorder.firstResponse().statusCode, 200);
  EXPECT_EQ(recorder.firstResponse().expectedContentLength, 3'000'000);
  std::optional<std::string> etag = recorder.firstResponse().headerField("etag");
  ASSERT_TRUE(etag.has_value());
  EXPECT_TRUE(std::regex_match(*etag, std::regex(R"("[0-9a-f]+-2dc6c0")"))) << *etag;
  EXPECT_EQ(recorder.bytesDelivered(), 3'000'000);

  RecordingDelegate missing;
  download(nginx.url("/none.zip"), missing);
  EXPECT_FALSE(missing.error().has_value());
  EXPECT_TRUE(missing.finished());
  EXPECT_EQ(missing.firstResponse().statusCode, 404);
  EXPECT_TRUE(testsupport::listDir(scratch.file("downloads")).empty());
}

// What the delegate decides on the first data, abandoning the download above all, must not wait
// for libcurl to read on: from a fast server that could be tens of megabytes.
TEST_F(UrlSessionWithNginx, TheFirstDataComesBeforeMoreIsRead) {
  constexpr int64_t kSize = 64LL << 20;
  std::string root = scratch.makeDir("www");
  scratch.writeFile("www/agent.zip", testsupport::TestHttpServer::generatedBody(kSize));
  NginxServer nginx(root);
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();

  RecordingDelegate recorder;
  recorder.verifyGenerated = true;
  int64_t firstTotal = -1;
  recorder.onData = [&firstTotal](host::DownloadTask&, const RecordingDelegate::Data& data) {
    if (firstTotal >= 0) return;
    firstTotal = data.totalBytesWritten;
    // Time enough for nginx to fill every buffer on the way.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  download(nginx.url("/agent.zip"), recorder);
  EXPECT_GT(firstTotal, 0);
  EXPECT_LE(firstTotal, 256 * 1024) << "more than one read before the first data";
  // And the download goes on from there, whole.
  EXPECT_FALSE(recorder.error().has_value()) << recorder.error()->description;
  EXPECT_TRUE(recorder.generatedBodyMatched());
  EXPECT_EQ(recorder.bytesDelivered(), kSize);
}

TEST_F(UrlSessionWithNginx, VerifiesHttpsAgainstTheTrustedCertificatesAndSpeaksHttp2) {
  std::string root = scratch.makeDir("www");
  scratch.writeFile("www/agent.zip", "secure archive");
  NginxServer nginx(root, {.tls = true, .serverDirectives = ""});
  ASSERT_TRUE(nginx.started()) << nginx.errorLog();

  // The system's store does not know the test's certificate: the download is refused.
  RecordingDelegate untrusted;
  {
    testsupport::ScopedEnv file("SSL_CERT_FILE", scratch.writeFile("empty.pem", ""));
    testsupport::ScopedEnv directory("SSL_CERT_DIR", scratch.makeDir("no-certificates"));
    download(nginx.url("/agent.zip"), untrusted);
  }
  ASSERT_TRUE(untrusted.error().has_value());
  EXPECT_FALSE(untrusted.error()->cancelled);
  EXPECT_TRUE(untrusted.data().empty());
  EXPECT_FALSE(untrusted.finished());

  RecordingDelegate systemStore;
  {
    testsupport::ScopedEnv file("SSL_CERT_FILE");
    testsupport::ScopedEnv directory("SSL_CERT_DIR");
    download(nginx.url("/agent.zip"), systemStore);
  }
  ASSERT_TRUE(systemStore.error().has_value()) << "a self-signed certificate was accepted";

  // Trusted through SSL_CERT_FILE, it is fetched, over HTTP/2.
  RecordingDelegate trusted;
  {
    testsupport::ScopedEnv file("SSL_CERT_FILE", nginx.certificateFile());
    download(nginx.url("/agent.zip"), trusted);
  }
  EXPECT_FALSE(trusted.error().has_value()) << trusted.error()->description;
  EXPECT_EQ(trusted.body(), "secure archive");
  EXPECT_TRUE(trusted.firstResponse().headerField("ETag").has_value());
  std::string log = nginx.accessLog(1);
  EXPECT_NE(log.find("HTTP/2.0 200 /agent.zip"), std::string::npos) << log;
}

}  // namespace

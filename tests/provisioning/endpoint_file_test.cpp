#include "provisioning/endpoint_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/message_log.h"
#include "support/scratch_dir.h"

using testsupport::MessageLog;
using testsupport::ScratchTest;

namespace {

std::string readWith(const std::string& content, const testsupport::ScratchDir& scratch) {
  return readEndpointUrlFile(scratch.writeFile("installAgentURL.txt", content),
                             MessageLog::callback);
}

}  // namespace

TEST_F(ScratchTest, EndpointIsTheFirstLineAsItStands) {
  MessageLog log;
  EXPECT_EQ(readWith("http://example.test/agent.zip\n", scratch), "http://example.test/agent.zip");
  EXPECT_EQ(readWith("http://a/\nhttp://b/\nthird\n", scratch), "http://a/");
  EXPECT_EQ(readWith("http://no-final-line-feed/", scratch), "http://no-final-line-feed/");
  EXPECT_EQ(readWith("http://crlf/\r\nnext\r\n", scratch), "http://crlf/\r");
  EXPECT_EQ(readWith("  \thttp://blanks/ \t\n", scratch), "  \thttp://blanks/ \t");
  EXPECT_EQ(readWith("\nhttp://second-line/\n", scratch), "");
  EXPECT_EQ(readWith("", scratch), "");
  EXPECT_EQ(readWith(std::string("a\0b\n", 4), scratch), std::string("a\0b", 3));
  EXPECT_TRUE(log.all().empty());
}

TEST_F(ScratchTest, MissingEndpointFileIsEmptyAndQuiet) {
  MessageLog log;
  EXPECT_EQ(readEndpointUrlFile(scratch.file("installAgentURL.txt"), MessageLog::callback), "");
  EXPECT_EQ(readEndpointUrlFile(scratch.file("no/dir/installAgentURL.txt"), MessageLog::callback),
            "");
  EXPECT_TRUE(log.all().empty());
}

TEST_F(ScratchTest, EndpointFileThatCannotBeOpenedIsReportedOnce) {
  std::string path = scratch.file("installAgentURL.txt");
  int fd = testsupport::makeSocketFile(path);
  ASSERT_GE(fd, 0);

  MessageLog log;
  EXPECT_EQ(readEndpointUrlFile(path, MessageLog::callback), "");
  close(fd);
  ASSERT_EQ(log.all().size(), 1u);
  EXPECT_EQ(log.all()[0],
            (testsupport::ReportedMessage{"Failed to open install agent URL file", true}));
}

TEST_F(ScratchTest, UnreadableEndpointFileIsReported) {
  if (testsupport::runningAsRoot()) GTEST_SKIP() << "root reads any file";
  MessageLog log;
  std::string path = scratch.writeFile("installAgentURL.txt", "http://secret/\n", 0);
  EXPECT_EQ(readEndpointUrlFile(path, MessageLog::callback), "");
  EXPECT_EQ(log.errors(), std::vector<std::string>{"Failed to open install agent URL file"});
}

TEST_F(ScratchTest, EndpointFileThatIsANamedPipeDoesNotHang) {
  std::string path = scratch.file("installAgentURL.txt");
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  MessageLog log;
  EXPECT_EQ(readEndpointUrlFile(path, MessageLog::callback), "");
  EXPECT_TRUE(log.all().empty());
}

TEST_F(ScratchTest, EndpointFileThatIsADirectoryGivesNothingAndSaysSo) {
  MessageLog log;
  std::string dir = scratch.makeDir("installAgentURL.txt");
  EXPECT_EQ(readEndpointUrlFile(dir, MessageLog::callback), "");
  EXPECT_EQ(log.errors(),
            std::vector<std::string>{"The install agent URL file is a directory: " + dir});
}

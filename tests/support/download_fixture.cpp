#include "support/download_fixture.h"

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace testsupport {

BundleBuilder DownloadRunTest::makeBundle(const std::string& url) const {
  BundleBuilder bundle(scratch.path());
  bundle.addBundleZip();
  bundle.setEndpointFile(url + "\n");
  return bundle;
}

std::string DownloadRunTest::agentArchive(int exitStatus, const std::string& recordPath,
                                          const std::map<std::string, std::string>& extraFiles,
                                          const std::string& extraShell) {
  std::string path = scratch.file("archive-" + std::to_string(archives_++) + ".zip");
  AgentScript agent{recordPath.empty() ? record() : recordPath, exitStatus, extraShell};
  EXPECT_TRUE(makeAgentZip(path, agent, extraFiles));
  return readFile(path);
}

Reply DownloadRunTest::archiveReply(const std::string& body, const std::string& etag) {
  Reply reply;
  reply.body = body;
  if (!etag.empty()) reply.headers = {{"ETag", etag}};
  return reply;
}

std::vector<std::string> DownloadRunTest::agentWords(
    const BundleBuilder& bundle, const std::vector<std::string>& userArguments) {
  std::vector<std::string> words = {"-installbundle", bundle.resourcesPath() + "/bundle.zip"};
  words.insert(words.end(), userArguments.begin(), userArguments.end());
  return words;
}

void DownloadRunTest::expectFailedRun(const RunResult& result, const std::string& message) const {
  EXPECT_FALSE(result.timedOut) << result.describe();
  EXPECT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  std::vector<std::string> lines = splitLines(result.err);
  ASSERT_FALSE(lines.empty()) << result.describe();
  EXPECT_EQ(lines.back(), "Installation failed.") << result.describe();
  bool shown = false;
  for (const std::string& line : lines)
    shown = shown || line == message ||
            (message.ends_with('*') && line.starts_with(message.substr(0, message.size() - 1)));
  EXPECT_TRUE(shown) << "\"" << message << "\" not on standard error: " << result.describe();
  EXPECT_TRUE(agentRuns().empty()) << "an agent ran";
  EXPECT_TRUE(tempEntries().empty()) << "the run left its temporary directory";
}

}  // namespace testsupport

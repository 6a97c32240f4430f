#include "support/storm_fixture.h"

#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/temp_dir.h"
#include "support/scratch_dir.h"

namespace testsupport {

Reply StormTest::archiveOf(const std::string& version, size_t dripBytes,
                           std::chrono::milliseconds dripInterval) {
  auto it = archives_.find(version);
  if (it == archives_.end()) {
    std::string path = scratch.file("archive-" + version + ".zip");
    EXPECT_TRUE(makeCheckingAgentZip(path, version, agentRecord(), agentShape));
    it = archives_.emplace(version, readFile(path)).first;
  }
  Reply reply;
  reply.body = it->second;
  reply.headers = {{"ETag", tagOf(version)}};
  reply.dripBytes = dripBytes;
  reply.dripInterval = dripInterval;
  return reply;
}

void StormTest::plantAgent(const std::string& version) {
  archiveOf(version);  // makes the archive file
  std::string cache = cacheDir();
  removeTree(cache);
  std::string agentDir = cache + "installagent";
  // Private levels, as the installer makes them.
  std::string level = homeDir();
  for (const char* name : {".vellum", "app_installer_cache", "Q7312m", "x64osx", "installagent"}) {
    level += std::string("/") + name;
    mkdir(level.c_str(), 0700);
    chmod(level.c_str(), 0700);
  }
  std::string command =
      "unzip -qq -o '" + scratch.file("archive-" + version + ".zip") + "' -d '" + agentDir + "'";
  ASSERT_EQ(system(command.c_str()), 0);
  writeFile(cache + ".validatestring", tagOf(version));
}

void StormTest::clearTmp() const {
  for (const std::string& entry : listDir(tmpDir())) removeTree(tmpDir() + "/" + entry);
}

}  // namespace testsupport

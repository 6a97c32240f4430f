// A fixture for end-to-end runs of the built installer.
//
// Each test gets a scratch directory with:
//   tmp/    the TMPDIR of the run, where the installer makes its temporary directory
//   home/   the HOME of the run, where the per-user cache goes
// `installerOptions` sets both, removes the variables that would change the road of a run
// (DISPLAY, WAYLAND_DISPLAY, VL_INTERNAL_INSTALL_AGENT_URL, the unit-test switch), makes a
// second of the waits before a download's retry 5 ms long and bounds the run in time. `tempEntries` lists what a run left in tmp/: the installer must
// always remove its temporary directory.
//
// Example:
//   TEST_F(InstallerTest, ReadyAgentRuns) {
//     BundleBuilder bundle(scratch.path());
//     AgentScript agent{scratch.file("record")};
//     bundle.addReadyAgent(agent);
//     RunResult result = runInstaller(bundle, {"Setup"});
//     EXPECT_EQ(result.exitCode, 0) << result.describe();
//     EXPECT_TRUE(tempEntries().empty());
//   }
#pragma once

#include <string>
#include <vector>

#include "support/bundle_builder.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace testsupport {

// How long a second of the waits before a download's retry lasts, in milliseconds.
inline constexpr char kRetrySecondVariable[] = "__VL_DOWNLOAD_RETRY_SECOND_MS__";

class InstallerTest : public ScratchTest {
 protected:
  void SetUp() override;

  std::string tmpDir() const { return scratch.file("tmp"); }
  std::string homeDir() const { return scratch.file("home"); }
  // The cache directory of the run's HOME, ending in "/".
  std::string cacheDir() const;

  // The options of a normal run: TMPDIR, HOME, a clean road, short waits before a retry, a
  // timeout of 60 s.
  RunOptions installerOptions() const;

  // Runs the bundle's installer with `argv` (argv[0] included) and `options`.
  RunResult runInstaller(const BundleBuilder& bundle, const std::vector<std::string>& argv,
                         const RunOptions& options) const;
  RunResult runInstaller(const BundleBuilder& bundle, const std::vector<std::string>& argv) const {
    return runInstaller(bundle, argv, installerOptions());
  }

  // What is left in tmp/ (names, sorted).
  std::vector<std::string> tempEntries() const { return listDir(tmpDir()); }
};

}  // namespace testsupport

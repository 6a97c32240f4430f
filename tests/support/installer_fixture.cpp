#include "support/installer_fixture.h"

namespace testsupport {

void InstallerTest::SetUp() {
  scratch.makeDir("tmp");
  scratch.makeDir("home");
}

std::string InstallerTest::cacheDir() const {
  return homeDir() + "/.vellum/app_installer_cache/Q7312m/x64osx/";
}

RunOptions InstallerTest::installerOptions() const {
  RunOptions options;
  // A download's waits before a retry last milliseconds, not seconds.
  options.setEnv = {{"TMPDIR", tmpDir()}, {"HOME", homeDir()}, {kRetrySecondVariable, "5"}};
  options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "VL_INTERNAL_INSTALL_AGENT_URL",
                      "__VL_BOOTSTRAP_INSTALLER_UNITTEST__"};
  options.workingDirectory = scratch.path();
  options.timeout = std::chrono::seconds(60);
  return options;
}

RunResult InstallerTest::runInstaller(const BundleBuilder& bundle,
                                      const std::vector<std::string>& argv,
                                      const RunOptions& options) const {
  return runProgram(bundle.executablePath(), argv, options);
}

}  // namespace testsupport

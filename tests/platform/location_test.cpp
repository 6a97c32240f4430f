#include "platform/location.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

using testsupport::ScratchTest;

TEST_F(ScratchTest, BundleIsFoundFromTheExecutablesPlace) {
  auto bundle = bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"));
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->bundlePath, scratch.file("Setup.app"));
  EXPECT_EQ(bundle->resourcePath, "");  // none there
  // A file in place of the directory is no resource directory either.
  scratch.makeDir("Setup.app/Contents/MacOS");
  scratch.writeFile("Setup.app/Contents/Resources", "file");
  EXPECT_EQ(bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"))->resourcePath, "");
  unlink(scratch.file("Setup.app/Contents/Resources").c_str());
  std::string resources = scratch.makeDir("Setup.app/Contents/Resources");
  EXPECT_EQ(bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"))->resourcePath,
            resources);
}

TEST(MainBundle, OnlyTheBundleShapeCounts) {
  for (const char* path : {"/opt/tools/setup", "/A/Setup/Contents/MacOS/setup",
                           "/A/Setup.app/Contents/setup", "/A/Setup.app/MacOS/setup",
                           "/A/Setup.app/Contents/MacOS/", "/A/.app/Contents/MacOS/setup", ""})
    EXPECT_FALSE(bundleForExecutable(path)) << path;
  EXPECT_EQ(bundleForExecutable("/A/Setup.app/Contents/MacOS/setup")->bundlePath, "/A/Setup.app");
  EXPECT_EQ(bundleForExecutable("Setup.app/Contents/MacOS/setup")->bundlePath, "Setup.app");
}

TEST(DirectoryOfPath, CutsBeforeTheLastSeparator) {
  EXPECT_EQ(directoryOfPath("/Applications/Installer.app"), "/Applications");
  EXPECT_EQ(directoryOfPath("/opt/tools/setup"), "/opt/tools");
  EXPECT_EQ(directoryOfPath("/setup"), "");
  EXPECT_EQ(directoryOfPath("C:\\tools\\setup"), "C:\\tools");
  EXPECT_EQ(directoryOfPath("setup"), "setup");
  EXPECT_EQ(directoryOfPath("/opt/tools/"), "/opt/tools");
  EXPECT_EQ(directoryOfPath("/opt//setup"), "/opt/");
  EXPECT_EQ(directoryOfPath("/a\\b/c"), "/a\\b");
}

// Only the private directory a one-file installer's header made, holding the bundle directly
// and proven by the descriptor open on its ".running", is the run's to remove.
TEST_F(ScratchTest, AnUnpackedCopyIsProvenByMoreThanItsName) {
  std::string copy = scratch.makeDir("installer.1.abc");
  std::string bundle = scratch.makeDir("installer.1.abc/Setup.app");
  ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
  int proof = open(scratch.writeFile("installer.1.abc/.running", "").c_str(), O_WRONLY);
  int other = open(scratch.writeFile("elsewhere", "").c_str(), O_WRONLY);
  ASSERT_GE(proof, 0);
  EXPECT_EQ(provenUnpackedCopy(copy, bundle, proof), copy);
  EXPECT_EQ(provenUnpackedCopy(copy, bundle, other), "");  // a name and a file alone
  EXPECT_EQ(provenUnpackedCopy(copy, bundle, 1000), "");   // no descriptor
  EXPECT_EQ(provenUnpackedCopy("/", bundle, proof), "");
  EXPECT_EQ(provenUnpackedCopy(scratch.path(), bundle, proof), "");  // a directory above
  EXPECT_EQ(provenUnpackedCopy(copy, scratch.file("Setup.app"), proof), "");
  EXPECT_EQ(provenUnpackedCopy("installer.1.abc", bundle, proof), "");
  ASSERT_EQ(chmod(copy.c_str(), 0750), 0);  // not private
  EXPECT_EQ(provenUnpackedCopy(copy, bundle, proof), "");
  close(proof);
  close(other);
}

TEST(BundleLocation, IsTheResourcesElseTheBundle) {
  MainBundle withResources{"/A/Setup.app", "/A/Setup.app/Contents/Resources"};
  EXPECT_EQ(getBundleLocation(withResources), "/A/Setup.app/Contents/Resources");
  MainBundle withoutResources{"/A/Setup.app", ""};
  EXPECT_EQ(getBundleLocation(withoutResources), "/A/Setup.app");
}

TEST_F(ScratchTest, DefaultAgentLocationPrefersTheReadyAgent) {
  std::string resources = scratch.makeDir("Setup.app/Contents/Resources");
  MainBundle bundle{scratch.file("Setup.app"), resources};
  // Nothing there: the archive's path all the same.
  EXPECT_EQ(getDefaultInstallAgentLocation(bundle), resources + "/InstallAgent.zip");
  scratch.writeFile("Setup.app/Contents/Resources/InstallAgent.zip", "zip");
  EXPECT_EQ(getDefaultInstallAgentLocation(bundle), resources + "/InstallAgent.zip");
  scratch.writeFile("Setup.app/Contents/Resources/InstallerForMac", "agent");
  EXPECT_EQ(getDefaultInstallAgentLocation(bundle), resources + "/InstallerForMac");
}

TEST_F(ScratchTest, DefaultAgentLocationTakesAReadyAgentDirectory) {
  std::string resources = scratch.makeDir("Setup.app/Contents/Resources");
  scratch.makeDir("Setup.app/Contents/Resources/InstallerForMac");
  MainBundle bundle{scratch.file("Setup.app"), resources};
  EXPECT_EQ(getDefaultInstallAgentLocation(bundle), resources + "/InstallerForMac");
}

TEST(DefaultAgentLocation, IsEmptyWithoutBundleOrResources) {
  EXPECT_EQ(getDefaultInstallAgentLocation(std::nullopt), "");
  EXPECT_EQ(getDefaultInstallAgentLocation(MainBundle{"/A/Setup.app", ""}), "");
}

// The test binary does not run from a bundle, so every function takes its fallback.
TEST(Location, WithoutABundleFollowsTheExecutable) {
  char resolved[PATH_MAX];
  ASSERT_NE(realpath("/proc/self/exe", resolved), nullptr);
  std::string executable = resolved;
  std::string directory = executable.substr(0, executable.rfind('/'));
  EXPECT_EQ(getPathToExecutable(), executable);
  EXPECT_EQ(getDirectoryOfExecutable(), directory);
  EXPECT_EQ(getBundleLocation(), directory);
  EXPECT_EQ(getDefaultInstallAgentLocation(), "");
  EXPECT_FALSE(mainBundle());
  EXPECT_EQ(getCatalogueLocation(), "");
}

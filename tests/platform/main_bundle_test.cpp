// The main bundle as the installer's platform layer answers it on Linux.
#include "host/main_bundle.h"

#include <string>

#include <gtest/gtest.h>

#include "host/files.h"

#include "support/scratch_dir.h"

using testsupport::ScopedEnv;
using testsupport::ScratchTest;

TEST_F(ScratchTest, BundleIsFoundFromTheExecutablesPlace) {
  std::string resources = scratch.makeDir("Setup.app/Contents/Resources");
  auto bundle = host::bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"));
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->bundlePath, scratch.file("Setup.app"));
  EXPECT_EQ(bundle->resourcePath, resources);
}

TEST_F(ScratchTest, BundleWithoutResourceDirectoryHasNoResourcePath) {
  scratch.makeDir("Setup.app/Contents/MacOS");
  auto bundle = host::bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"));
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->resourcePath, "");
  // A file in place of the directory is no resource directory either.
  scratch.writeFile("Setup.app/Contents/Resources", "file");
  bundle = host::bundleForExecutable(scratch.file("Setup.app/Contents/MacOS/setup"));
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->resourcePath, "");
}

TEST(MainBundle, OnlyTheBundleShapeCounts) {
  EXPECT_FALSE(host::bundleForExecutable("/opt/tools/setup"));
  EXPECT_FALSE(host::bundleForExecutable("/A/Setup/Contents/MacOS/setup"));
  EXPECT_FALSE(host::bundleForExecutable("/A/Setup.app/Contents/setup"));
  EXPECT_FALSE(host::bundleForExecutable("/A/Setup.app/MacOS/setup"));
  EXPECT_FALSE(host::bundleForExecutable("/A/Setup.app/Contents/MacOS/"));
  EXPECT_FALSE(host::bundleForExecutable("/A/.app/Contents/MacOS/setup"));
  EXPECT_FALSE(host::bundleForExecutable(""));
  auto bundle = host::bundleForExecutable("/A/Setup.app/Contents/MacOS/setup");
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->bundlePath, "/A/Setup.app");
  EXPECT_EQ(bundle->resourcePath, "");
  auto relative = host::bundleForExecutable("Setup.app/Contents/MacOS/setup");
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ(relative->bundlePath, "Setup.app");
}

TEST(MainBundle, TheTestProgramHasNone) { EXPECT_FALSE(host::mainBundle().has_value()); }

TEST(TemporaryDirectory, IsTmpdirWhenSetAndNotEmptyElseTmp) {
  {
    ScopedEnv set("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(host::temporaryDirectory(), "/var/tmp/x");
  }
  {
    ScopedEnv empty("TMPDIR", "");
    EXPECT_EQ(host::temporaryDirectory(), "/tmp");
  }
  ScopedEnv unset("TMPDIR");
  EXPECT_EQ(host::temporaryDirectory(), "/tmp");
}

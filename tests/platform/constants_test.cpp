#include "platform/constants.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

TEST(Constants, HaveTheirValues) {
  EXPECT_STREQ(PATH_SEPARATOR, "/");
  EXPECT_STREQ(RELEASE_LABEL, "Q7312m");
  EXPECT_STREQ(ARCH_TAG, "x64osx");
  EXPECT_STREQ(INSTALL_AGENT_ZIP, "InstallAgent.zip");
  EXPECT_STREQ(INSTALL_AGENT_DIR, "installagent");
  EXPECT_STREQ(VALIDATION_STRING_FILE, ".validatestring");
  EXPECT_EQ(strlen(INSTALL_AGENT_ZIP), 16u);
  EXPECT_EQ(strlen(INSTALL_AGENT_DIR), 12u);
  EXPECT_EQ(strlen(VALIDATION_STRING_FILE), 15u);
}

TEST(Constants, CacheSubpathIsComposedAtStartUp) {
  EXPECT_EQ(INSTALL_AGENT_CACHE_SUBPATH, ".vellum/app_installer_cache/Q7312m/x64osx/");
  EXPECT_EQ(INSTALL_AGENT_CACHE_SUBPATH.size(), 42u);
  EXPECT_EQ(INSTALL_AGENT_CACHE_SUBPATH, composeInstallAgentCacheSubpath(RELEASE_LABEL, ARCH_TAG));
}

TEST(Constants, ReleaseAndPlatformChangeOnlyTheirPlaceInTheSubpath) {
  EXPECT_EQ(composeInstallAgentCacheSubpath("R2", "arm64"),
            ".vellum/app_installer_cache/R2/arm64/");
  EXPECT_EQ(composeInstallAgentCacheSubpath("Q7312m", "x64lin"),
            ".vellum/app_installer_cache/Q7312m/x64lin/");
}

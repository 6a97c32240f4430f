#include "platform/constants.h"

// Plain character arrays are constant-initialized: ready before other start-up code reads them.
const char PATH_SEPARATOR[] = "/";
const char RELEASE_LABEL[] = "Q7312m";
// An arm64 machine keeps its agents apart from an x86-64 one's, in a home that both share (NFS).
#if defined(__aarch64__)
const char ARCH_TAG[] = "arm64osx";
#else
const char ARCH_TAG[] = "x64osx";
#endif
const char INSTALL_AGENT_ZIP[] = "InstallAgent.zip";
const char INSTALL_AGENT_DIR[] = "installagent";
const char VALIDATION_STRING_FILE[] = ".validatestring";

std::string composeInstallAgentCacheSubpath(const std::string& releaseLabel,
                                            const std::string& archTag) {
  return ".vellum/app_installer_cache/" + releaseLabel + "/" + archTag + "/";
}

const std::string INSTALL_AGENT_CACHE_SUBPATH =
    composeInstallAgentCacheSubpath(RELEASE_LABEL, ARCH_TAG);

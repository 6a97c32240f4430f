// The names and the per-user cache path that the whole installer takes from here. Set up before
// `main` runs and never changed; any thread may read them.
#pragma once

#include <string>

extern const char PATH_SEPARATOR[];  // "/"
// The release and platform that the per-user cache is kept for.
extern const char RELEASE_LABEL[];
extern const char ARCH_TAG[];
// The agent archive carried in the bundle's resources, and the download's file name.
extern const char INSTALL_AGENT_ZIP[];
// The agent directory inside the cache directory.
extern const char INSTALL_AGENT_DIR[];
// The file beside the agent directory that holds the server's tag of the cached agent.
extern const char VALIDATION_STRING_FILE[];

// The cache directory below HOME, relative and ending in "/": composed at start-up from the above.
extern const std::string INSTALL_AGENT_CACHE_SUBPATH;

// How INSTALL_AGENT_CACHE_SUBPATH is composed, for any release label and platform tag.
std::string composeInstallAgentCacheSubpath(const std::string& releaseLabel,
                                            const std::string& archTag);

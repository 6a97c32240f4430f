// Unpacking an install agent archive with the system's `unzip` tool, for a carried archive (main
// thread) and a download (the session's delegate queue). Blocks until the tool ends.
#pragma once

#include <string>

#include "provisioning/message.h"

enum class UnzipResult {
  Unpacked,
  Failed,       // the tool ran and failed (it has said why), or the archive is missing
  ToolMissing,  // the system has no such tool: a minimal install often lacks unzip
};

// Said when the system has no `unzip`, whose package has that name on Debian, Ubuntu, Fedora, Arch.
inline constexpr const char* kUnzipMissing =
    "unzip is not installed: install the package \"unzip\" and run the installer again";

// Runs "<tool> -qq -o -P '' <archive> -d <destination> </dev/null" through the shell, each path
// reaching the tool unchanged (but for "./" before a relative one that starts with "-"). A
// missing archive gives Failed without running anything or reporting; a failing tool reports
// "Failed to unzip the install agent", a tool the shell cannot find kUnzipMissing.
UnzipResult unzipInstallAgent(std::string archivePath, std::string destinationDir,
                              std::string unzipTool, MessageCallback report);

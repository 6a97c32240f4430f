// Unpacking an install agent archive with the system's `unzip` tool. Called by provisioning on the
// main thread (carried archives) and by the download application on its session's delegate queue (a
// fresh download). Blocks until the tool ends.
#pragma once

#include <string>

#include "provisioning/message.h"

// Runs "<tool> -qq -o <archive> -d <destination>" through the shell, each path reaching the tool
// unchanged. True when it ended with status 0. A missing archive gives false without running
// anything or reporting; a failing tool reports "Failed to unzip the install agent".
bool unzipInstallAgent(std::string archivePath, std::string destinationDir, std::string unzipTool,
                       MessageCallback report);

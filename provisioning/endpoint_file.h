// The endpoint URL file "installAgentURL.txt" in the bundle location: where the agent's archive is
// downloaded from when the bundle carries no agent. Read once per run by the driver (main thread).
#pragma once

#include <string>

#include "provisioning/message.h"

std::string endpointUrlFilePath(const std::string& bundleLocation);

// The file's first line as it stands (no trimming; a carriage return before the line feed
// stays). Empty, without a message, when the file is absent or empty. Reports "Failed to open
// install agent URL file" and answers empty when it exists but cannot be opened, and "The
// install agent URL file is a directory: <path>" for a directory.
std::string readEndpointUrlFile(std::string path, MessageCallback report);

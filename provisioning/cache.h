// The per-user cache of the downloaded install agent and its validation string.
//
// Layout, below HOME (or "/tmp" when HOME is unset or empty):
//   .vellum/app_installer_cache/<release>/<platform>/   the cache directory
//       installagent/install                          the agent's entry file
//       .validatestring                               the server's tag of that agent
// Provisioning uses it on the main thread, the download application on its session's
// delegate queue, never both at once. Nothing here reports a message or keeps state.
#pragma once

#include <string>

// The cache directory, always ending in "/".
std::string getInstallAgentCacheDir();

// The agent directory, with a final "/", when its entry file "install" exists (any kind of
// file); otherwise empty.
std::string installAgentDirOnDisk();

// The entry file of an agent unpacked in `dir`: `dir`, "/" unless it ends in one, "install".
// An empty `dir` gives "install".
std::string getInstallAgentExecutable(std::string dir);

// True when the first line of the validation-string file in `dir` equals `validationString`
// byte for byte. False on every failure, for an empty `validationString` and for an empty
// `dir`.
bool isCacheValid(std::string dir, std::string validationString);

// Stores exactly the bytes of `validationString` in the validation-string file in `dir`.
// Does nothing when either is empty; gives up silently when the file cannot be written.
void writeValidationString(std::string dir, std::string validationString);

// Deciding where this run's install agent comes from, and making it available.
//
// The sources, in order: a ready agent "InstallerForMac" in the bundle's resources; an agent
// archive carried there ("InstallAgent.zip", else the first "InstallAgent_*.zip" listed),
// unpacked into the payload directory; otherwise a download into the per-user cache. Called
// once per run by the bootstrap driver, on the main thread; a download runs the download
// window on this thread until it ends.
#pragma once

#include <string>

#include "bootstrap/message.h"

// The file to run with sh, or empty when no agent could be provided. Reports "Failed to
// initialize the install agent." when an archive could not be unpacked.
std::string sourceInstallAgent(std::string payloadDir, std::string endpointUrl,
                               MessageCallback report);

// True when `name` is a carried agent archive: "InstallAgent_" ... ".zip", case-sensitive.
bool isCarriedArchiveName(const std::string& name);

// Where the installer runs from: its executable, its bundle, and the agent the bundle carries. The
// bootstrap driver asks for the executable's directory and the bundle location (which holds
// "installAgentURL.txt" and "bundle.zip"); provisioning asks what agent the bundle carries. Nothing
// here reports a message or keeps state: where there is no answer, the result is the empty string.
// Safe on any thread.
#pragma once

#include <optional>
#include <string>

#include "host/main_bundle.h"

// The main bundle's directory; without a main bundle, the target of "/proc/self/exe";
// empty when that cannot be read.
std::string getPathToExecutable();

// `getPathToExecutable` cut before its last "/" or backslash: the directory that holds the
// bundle (or the executable). Empty when the path is empty or the cut is at its start.
std::string getDirectoryOfExecutable();

// The main bundle's resource directory, else its bundle directory; without a main bundle,
// `getDirectoryOfExecutable`. No separator at the end.
std::string getBundleLocation();

// The agent that the bundle may carry: "<resources>/InstallerForMac" when that exists,
// otherwise "<resources>/InstallAgent.zip", which may not exist. Empty without a main bundle
// or without a resource directory.
std::string getDefaultInstallAgentLocation();

// The unpacked copy of a one-file installer that the run may remove at its end: `named` when it
// is exactly the private directory the copy's header made, an absolute path to a directory of
// the effective user's with mode 0700 that directly holds `bundle` and whose ".running" is the
// file open as descriptor `proof`. Empty otherwise: a name alone proves nothing.
std::string provenUnpackedCopy(const std::string& named, const std::string& bundle, int proof);

// The pieces of the functions above, taking the platform's answers as arguments.

// `path` cut before its last "/" or backslash; `path` itself when it holds neither.
std::string directoryOfPath(const std::string& path);

// `getPathToExecutable` for a given main bundle (or none) and executable link.
std::string pathToExecutableFor(const std::optional<host::MainBundle>& bundle,
                                const std::string& link);

// `getBundleLocation` for a given main bundle (or none) and executable directory.
std::string bundleLocationFor(const std::optional<host::MainBundle>& bundle,
                              const std::string& directoryOfExecutable);

// `getDefaultInstallAgentLocation` for a given main bundle (or none).
std::string defaultInstallAgentLocationFor(const std::optional<host::MainBundle>& bundle);

// Where the installer runs from: its executable, its bundle and what the bundle carries. A bundle
// is a directory "<Name>.app" with the executable at "Contents/MacOS/<file>" and the resources in
// "Contents/Resources"; the process has a main bundle exactly when its executable (the target of
// /proc/self/exe, so a link to it does not count) lies at such a place. Asked by the driver,
// provisioning and the download window. Nothing here reports or keeps state: where there is no
// answer, the result is empty. Safe on any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

struct MainBundle {
  std::string bundlePath;    // the "<Name>.app" directory
  std::string resourcePath;  // "<Name>.app/Contents/Resources", or empty when it does not exist
};

// The bundle holding the executable at `executablePath`; nothing without the bundle's shape.
std::optional<MainBundle> bundleForExecutable(const std::string& executablePath);

// The bundle of the running process (asked afresh on every call).
std::optional<MainBundle> mainBundle();

// The main bundle's directory, else the target of "/proc/self/exe"; empty when unreadable.
std::string getPathToExecutable();

// `getPathToExecutable` cut before its last "/" or backslash: the directory that holds the
// bundle (or the executable). Empty when the path is empty or the cut is at its start.
std::string getDirectoryOfExecutable();

// The bundle's resource directory, else its bundle directory; without a bundle,
// `getDirectoryOfExecutable`. No separator at the end.
std::string getBundleLocation(const std::optional<MainBundle>& bundle = mainBundle());

// The agent the bundle may carry: "<resources>/InstallerForMac" when that exists, else
// "<resources>/InstallAgent.zip" (which may not). Empty without a bundle or its resources.
std::string getDefaultInstallAgentLocation(const std::optional<MainBundle>& bundle = mainBundle());

// The download window's catalogues, "locale" in the bundle's resources; empty without them.
std::filesystem::path getCatalogueLocation();

// The unpacked copy of a one-file installer that the run may remove at its end: `named` when it
// is exactly the private directory the copy's header made, an absolute path to a directory of
// the effective user's with mode 0700 that directly holds `bundle` and whose ".running" is the
// file open as descriptor `proof`. Empty otherwise: a name alone proves nothing.
std::string provenUnpackedCopy(const std::string& named, const std::string& bundle, int proof);

// `path` cut before its last "/" or backslash; `path` itself when it holds neither.
std::string directoryOfPath(const std::string& path);

// The application bundle the installer runs from. An installer bundle is a directory "<Name>.app"
// holding the executable at "<Name>.app/Contents/MacOS/<file>" and its resources in
// "<Name>.app/Contents/Resources". The process has a main bundle exactly when its executable (the
// target of /proc/self/exe) lies at such a place. Every function here is stateless and safe on any
// thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace host {

struct MainBundle {
  std::string bundlePath;    // the "<Name>.app" directory
  std::string resourcePath;  // "<Name>.app/Contents/Resources", or empty when it does not exist
};

// The bundle holding the executable at `executablePath`, or nothing when the path does not
// have the bundle's shape.
std::optional<MainBundle> bundleForExecutable(const std::string& executablePath);

// The bundle of the running process (asked afresh on every call).
std::optional<MainBundle> mainBundle();

// The whole target of the symbolic link `link`, however long; empty when it cannot be read.
std::string readLink(const std::filesystem::path& link);

}  // namespace host

#include "provisioning/endpoint_file.h"

#include <filesystem>

#include "host/files.h"
#include "provisioning/first_line.h"

std::string endpointUrlFilePath(const std::string& bundleLocation) {
  return (std::filesystem::path(bundleLocation) / "installAgentURL.txt").string();
}

std::string readEndpointUrlFile(std::string path, MessageCallback report) {
  if (!host::pathExists(path)) return "";  // no file: no endpoint, nothing to say
  if (host::isDirectory(path)) {
    report("The install agent URL file is a directory: " + path, true);
    return "";
  }
  std::string url;  // empty when the file cannot be opened
  if (!readFirstLine(path, &url)) report("Failed to open install agent URL file", true);
  return url;
}

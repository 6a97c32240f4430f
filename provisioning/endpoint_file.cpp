#include "provisioning/endpoint_file.h"

#include "host/files.h"
#include "provisioning/first_line.h"

std::string readEndpointUrlFile(std::string path, MessageCallback report) {
  if (!host::pathExists(path)) return "";  // no file: no endpoint, nothing to say
  std::string url;
  if (!readFirstLine(path, &url)) {
    report("Failed to open install agent URL file", true);
    return "";
  }
  return url;
}

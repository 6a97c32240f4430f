#include "provisioning/endpoint_file.h"

#include <sys/stat.h>

#include "provisioning/first_line.h"

std::string readEndpointUrlFile(std::string path, MessageCallback report) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "";  // no file: no endpoint, nothing to say
  std::string url;
  if (!readFirstLine(path, &url)) {
    report("Failed to open install agent URL file", true);
    return "";
  }
  return url;
}

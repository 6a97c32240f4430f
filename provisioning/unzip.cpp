#include "provisioning/unzip.h"

#include <sys/stat.h>

#include <exception>

#include "platform/shell.h"

bool unzipInstallAgent(std::string archivePath, std::string destinationDir, std::string unzipTool,
                       MessageCallback report) {
  struct stat info;
  if (stat(archivePath.c_str(), &info) != 0) return false;

  int status;
  try {
    std::string command = shell_word(unzipTool) + " -qq -o " +
                          shell_word(operand_path(archivePath)) + " -d " +
                          shell_word(operand_path(destinationDir));
    status = call_system(unzipTool, command);
  } catch (const std::exception&) {
    return false;
  }
  if (status != 0) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}

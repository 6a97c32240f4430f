#include "provisioning/unzip.h"

#include "host/files.h"
#include "platform/shell.h"

bool unzipInstallAgent(std::string archivePath, std::string destinationDir, std::string unzipTool,
                       MessageCallback report) {
  if (!host::pathExists(archivePath)) return false;
  std::string command = shell_word(unzipTool) + " -qq -o " + shell_word(operand_path(archivePath)) +
                        " -d " + shell_word(operand_path(destinationDir));
  if (call_system(unzipTool, command) != 0) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}

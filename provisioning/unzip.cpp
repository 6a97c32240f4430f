#include "provisioning/unzip.h"

#include <sys/wait.h>

#include "host/files.h"
#include "host/termination.h"
#include "platform/shell.h"

// The shell's status for a command it cannot find.
constexpr int kCommandNotFound = 127;

UnzipResult unzipInstallAgent(std::string archivePath, std::string destinationDir,
                              std::string unzipTool, MessageCallback report) {
  if (!host::pathExists(archivePath)) return UnzipResult::Failed;
  // unzip asks nothing that would wait on the user's terminal for good: a password is taken as
  // empty (an encrypted archive fails), and a full disk's "Continue?" reads the end of its input.
  std::string command = shell_word(unzipTool) + " -qq -o -P '' " +
                        shell_word(operand_path(archivePath)) + " -d " +
                        shell_word(operand_path(destinationDir)) + " </dev/null";
  int status = call_system(unzipTool, command);
  if (status == 0) return UnzipResult::Unpacked;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCommandNotFound) {
    report(kUnzipMissing, true);
    return UnzipResult::ToolMissing;
  }
  // An unzip ended by the run's termination signal failed for no fault of the archive.
  if (host::terminationSignal() == 0) report("Failed to unzip the install agent", true);
  return UnzipResult::Failed;
}

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "bootstrap/bootstrap.h"
#include "host/system_log.h"
#include "platform/location.h"
#include "platform/temp_dir.h"
#include "provisioning/message.h"

namespace {

constexpr char kUnpackedCopy[] = "VL_INTERNAL_UNPACKED_COPY";
// The one-file installer's header holds this descriptor open on the copy's ".running"
// (tools/lib/run-header.sh) for as long as the installer runs.
constexpr int kUnpackedCopyProof = 9;

// The unpacked copy of a one-file installer that this program runs from, as its header names and
// proves it; empty otherwise. The agent does not inherit the name.
std::filesystem::path takeUnpackedCopy() {
  const char* named = getenv(kUnpackedCopy);
  std::string copy = named != nullptr ? named : "";
  unsetenv(kUnpackedCopy);
  if (copy.empty()) return {};
  // Passed on by a launcher, sudo -E or a copied line, the name must not make the run remove a
  // directory above the bundle (the user's home, "/").
  std::optional<MainBundle> bundle = mainBundle();
  std::string proven =
      provenUnpackedCopy(copy, bundle ? bundle->bundlePath : "", kUnpackedCopyProof);
  if (proven.empty())
    host::systemLog("%s names %s, which is not this run's unpacked copy: it is left as it is",
                    kUnpackedCopy, copy.c_str());
  return proven;
}

}  // namespace

int main(int argc, const char* argv[]) {
  // A standard stream the caller closed (2>&-) would be the next file the run opens, and its
  // log lines would go there (into the download, a socket, a pipe of its own): it is the null
  // device instead, for the run and for the agent.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
  // A reader of its output that has gone (a closed pipe), or a file size limit (ulimit -f),
  // does not end the run on the spot, which would leave the temporary directory behind: the
  // writes fail instead. The programs it starts get both signals back (host/process.cpp).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  const std::filesystem::path unpackedCopy = takeUnpackedCopy();
  int result = bootstrapInstallerMainFunc(argc, argv, report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  // Gone before the run ends, not only when the header's remover gets to it: the end of a
  // container (or of any process namespace) takes the remover with it.
  if (!unpackedCopy.empty()) removeTree(unpackedCopy);
  return result;
}

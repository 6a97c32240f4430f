#include <errno.h>
#include <fcntl.h>
#include <signal.h>

#include "bootstrap/bootstrap.h"
#include "provisioning/message.h"

int main(int argc, const char* argv[]) {
  // A standard stream the caller closed (2>&-) would be the next file the run opens, and its
  // log lines would go there (into the download, a socket, a pipe of its own): it is the null
  // device instead, for the run and for the agent.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
  }
  // A reader of its output that has gone (a closed pipe), or a file size limit (ulimit -f),
  // does not end the run on the spot, which would leave the temporary directory behind: the
  // writes fail instead. The programs it starts get both signals back (host/process.cpp).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  int result = bootstrapInstallerMainFunc(argc, argv, report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}

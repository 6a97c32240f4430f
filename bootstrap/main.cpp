#include <signal.h>

#include "bootstrap/bootstrap.h"
#include "provisioning/message.h"

int main(int argc, const char* argv[]) {
  // A reader of its output that has gone (a closed pipe) does not end the run on the spot,
  // which would leave the temporary directory behind: the writes fail instead. The programs
  // it starts get SIGPIPE back (host/process.cpp).
  signal(SIGPIPE, SIG_IGN);
  int result = bootstrapInstallerMainFunc(argc, argv, report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}

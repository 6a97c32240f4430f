#include "bootstrap/bootstrap.h"
#include "provisioning/message.h"

int main(int argc, const char* argv[]) {
  int result = bootstrapInstallerMainFunc(argc, argv, report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}

#include "download_app/download_entry.h"

#include <stdlib.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <utility>

#include "download_app/main_interface.h"
#include "host/application.h"

std::string downloadTo;
std::string downloadFrom;
const char** EMPTY_ARGV = nullptr;

namespace {

// The agent the download window started; the driver takes it to wait for it.
std::optional<host::Process> handedOverAgent;

void reportMainQueue(uint64_t closuresBefore) {
  const char* path = getenv("__VL_MAIN_QUEUE_REPORT__");
  if (!path || !*path) return;
  if (FILE* report = fopen(path, "ae")) {
    fprintf(report, "main-queue closures: %" PRIu64 "\n",
            host::mainQueueClosuresRun() - closuresBefore);
    fclose(report);
  }
}

}  // namespace

bool downloadInstallAgentFromVL(const char* to, const char* from, MessageCallback /*callback*/) {
  // The override counts whenever it is set, even to the empty string.
  if (const char* url = getenv("VL_INTERNAL_INSTALL_AGENT_URL")) from = url;
  downloadTo = to ? to : "";
  downloadFrom = from ? from : "";
  return CallNSApplicationMain(0, EMPTY_ARGV) != 0;
}

int CallNSApplicationMain(int /*argc*/, const char** /*argv*/) {
  const uint64_t closuresBefore = host::mainQueueClosuresRun();
  std::unique_ptr<download_app::MainInterface> ui = download_app::loadMainInterface();
  int status = download_app::runMainInterface(*ui);
  handedOverAgent = ui->download().takeAgent();
  reportMainQueue(closuresBefore);
  return status;
}

std::optional<host::Process> takeHandedOverAgent() {
  std::optional<host::Process> agent = std::move(handedOverAgent);
  handedOverAgent.reset();
  return agent;
}

#include "download_app/download_entry.h"

#include <glib.h>
#include <stdlib.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <utility>

#include "host/application.h"
#include "provisioning/endpoint_file.h"
#include "provisioning/signed_archive.h"

namespace {

const char kUrlVariable[] = "VL_INTERNAL_INSTALL_AGENT_URL";

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

std::optional<host::Process> downloadInstallAgentFromVL(const char* to, const char* from,
                                                        const AgentArguments& agent,
                                                        std::shared_ptr<AgentCache> cache,
                                                        MessageCallback /*callback*/) {
  std::string source = endpointUrlFilePath(agent.bundleLocation);
  // The override counts whenever it is set, even to the empty string.
  if (const char* url = getenv(kUrlVariable)) {
    from = url;
    source = kUrlVariable;
  }
  // Blanks around the address and a line end from another system are no part of it.
  gchar* trimmed = g_strstrip(g_strdup(from ? from : ""));
  std::string url = trimmed;
  g_free(trimmed);
  SigningKeys keys;
  KeyFileStatus keyFile = readSigningKeys(agent.bundleLocation, &keys);
  const uint64_t closuresBefore = host::mainQueueClosuresRun();
  download_app::DownloadRequest request{.to = to ? to : "",
                                        .from = url,
                                        .fromSource = source,
                                        .agent = agent,
                                        .signingKeys = keys,
                                        .cache = std::move(cache)};
  // A key file that holds no key is shown in the window, and nothing is downloaded.
  if (!keyFile.ok())
    request.failure =
        download_app::keyFileFailure(signingKeyFilePath(agent.bundleLocation), keyFile);
  using download_app::millisecondsFromEnvironment;
  host::UrlSessionConfiguration& session = request.session;
  session.idleTimeout =
      millisecondsFromEnvironment("__VL_DOWNLOAD_IDLE_TIMEOUT_MS__").value_or(session.idleTimeout);
  session.retrySecond =
      millisecondsFromEnvironment("__VL_DOWNLOAD_RETRY_SECOND_MS__").value_or(session.retrySecond);
  std::unique_ptr<download_app::MainInterface> ui =
      download_app::loadMainInterface(std::move(request));
  int status = CallNSApplicationMain(0, nullptr, *ui);
  reportMainQueue(closuresBefore);
  if (status == 0) return std::nullopt;
  return ui->download().takeAgent();
}

int CallNSApplicationMain(int /*argc*/, const char** /*argv*/, download_app::MainInterface& ui) {
  host::runApplication([&ui] { ui.applicationDidFinishLaunching(); },
                       [&ui] { ui.closeRequested(); });
  if (ui.window().isVisible()) ui.window().close();
  ui.download().finishSession();
  return ui.download().handedOver() ? 1 : 0;
}

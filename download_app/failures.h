// The download's words: its failures and its stages as the window shows them, in the user's
// language, and as the system log keeps them, in English. Every text the download shows or logs
// is made here, from what happened; nothing decides by them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "download_app/download_window.h"
#include "host/status.h"
#include "host/url_session.h"
#include "provisioning/agent_cache.h"
#include "provisioning/signed_archive.h"

namespace download_app {

struct Failure {
  std::string shown;
  std::optional<std::string> logged;  // none when it has been reported already (unzip says why)
};

// The installer runs outside an application bundle.
Failure noBundleFailure();
// Why `url`, from `source`, cannot be downloaded: only http and https can, and a URL holds no
// blank or control character. Nothing when it can.
std::optional<Failure> addressFailure(const std::string& url, const std::string& source);
// The server answered `status` where an archive was due: at its first data, or at its end;
// through `proxy` (as logs show it) when not directly, which may be a proxy asking for a password.
Failure statusFailure(long status, bool atEnd, const std::string& proxy = "",
                      const std::string& url = "");
// The transport failed, for libcurl's `reason`.
Failure transportFailure(const std::string& reason);
// The download of `url` failed with `error`, through the proxy it names if any.
Failure transportFailure(const host::UrlError& error, const std::string& url);
// The cache is not the user's own.
Failure untrustedCacheFailure(const CacheTrust& trust);
// The installer whose agent started this run holds the cache, which this run would change.
Failure nestedRunFailure();
// The archive from `url` could not be shown to be the vendor's.
Failure verificationFailure(const std::string& url, const SignatureStatus& status);
// The bundle's key file `keyFile` holds no key.
Failure keyFileFailure(const std::filesystem::path& keyFile, const KeyFileStatus& status);
// For the log: why the agent cached in `cache` is downloaded again (`gap`; with kNotHolding,
// `status` says why its proof fails). Nothing when there is no gap.
std::optional<std::string> staleAgentNote(ProofGap gap, const SignatureStatus& status,
                                          const std::filesystem::path& cache);
// The new agent could not be put in place, or the cache's lock cannot be had.
Failure cacheFailure(const host::Status<CacheProblem>& status);
// The agent could not be started.
Failure startFailure();

// The stages of a download that goes well, as the window shows them.
enum class Stage { kDownloading, kWaiting, kVerifying, kInitializing };
std::string stageText(Stage stage);
// The status while a retry waits `seconds`, and the log's line for the retry after `cause`.
std::string retryText(int seconds);
std::string retryNote(const std::string& cause, int seconds);
// For the log: the wait for another installer; the signature that holds, with its `comment`;
// an archive from `url` that comes unsigned over plain http (nothing for any other).
std::string waitingNote();
std::string signatureNote(const std::string& comment);
std::optional<std::string> plainHttpNote(const std::string& url, bool signedArchive);
// For the log: the desktop window could not be loaded, or was given up once shown, for `cause`;
// the terminal window takes its place.
std::string windowNotLoadedNote(const WindowStatus& cause);
std::string windowGivenUpNote(const WindowStatus& cause);

}  // namespace download_app

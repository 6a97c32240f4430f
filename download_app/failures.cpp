#include "download_app/failures.h"

#include <glib.h>

#include <algorithm>

#include "download_app/translation.h"
#include "host/files.h"
#include "host/system_log.h"

namespace download_app {

namespace {

constexpr const char* kStatusFailure = N_("Download failed with error code %ld");

// `text` in the user's language and in English.
Failure failureText(const char* text) { return {translate(text), text}; }

// The same, `format` filled in with the same arguments in both.
template <typename... Arguments>
Failure failureText(const char* format, Arguments... arguments) {
  gchar* english = g_strdup_printf(format, arguments...);
  Failure failure{formatText(translate(format), arguments...), english};
  g_free(english);
  return failure;
}

const char* cacheProblemText(CacheProblem problem) {
  switch (problem) {
    case CacheProblem::kNoDirectory:
      return N_("Could not make a directory in %s");
    case CacheProblem::kUnzipMissing:
      return N_(
          "Could not unpack the installer: the program unzip is missing. Install the "
          "package \"unzip\" and try again.");
    case CacheProblem::kUnzipFailed:
      return N_("Failed to unzip the installer.");
    case CacheProblem::kNoEntryFile:
      return N_("The install agent archive has no file \"install\" at its top level.");
    case CacheProblem::kEntryNotRegular:
      return N_("\"install\" in the install agent archive is not a regular file.");
    case CacheProblem::kOldAgentStays:
      return N_("Could not remove the old install agent in %s");
    case CacheProblem::kNewAgentNotPlaced:
      return N_("Could not put the install agent in place at %s");
    case CacheProblem::kNotLockable:
      break;  // the cache is not safe to use (cacheFailure)
  }
  return "";
}

}  // namespace

Failure noBundleFailure() {
  return failureText(N_("The installer is not inside an application bundle."));
}

std::optional<Failure> addressFailure(const std::string& url, const std::string& source) {
  size_t colon = url.find("://");
  std::string scheme = url.substr(0, colon);
  if (colon != std::string::npos && colon + 3 < url.size() &&
      (g_ascii_strcasecmp(scheme.c_str(), "http") == 0 ||
       g_ascii_strcasecmp(scheme.c_str(), "https") == 0) &&
      std::none_of(url.begin(), url.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; }))
    return std::nullopt;
  return failureText(url.empty() ? N_("Download failed: no download address in %s.")
                                 : N_("Download failed: the download address in %s is not an "
                                      "http or https URL."),
                     source.c_str());
}

Failure statusFailure(long status, bool atEnd) {
  return {formatText(translate(kStatusFailure), status),
          (atEnd ? "Download failed! Error code- " : "Download failed with http error code- ") +
              std::to_string(status)};
}

Failure transportFailure(const std::string& reason) {
  return failureText(N_("Download failed: %s"), reason.c_str());
}

Failure untrustedCacheFailure(const CacheTrust& trust) {
  return {formatText(translate("The install agent cache is not safe to use: %s %s."),
                     trust.directory.c_str(), translate(trust.reason.c_str())),
          untrustedCacheMessage(trust)};
}

Failure nestedRunFailure() {
  return failureText(
      N_("The installer that started this one is using the install agent. Run this installer "
         "again once it has finished."));
}

Failure verificationFailure(const std::string& url, const std::string& reason) {
  const char* text = N_("Failed to verify the installer.");
  return {translate(text), std::string(text) + " The download from " + host::redactedUrl(url) +
                               " could not be shown to be the vendor's: " + reason + "."};
}

Failure cacheFailure(const host::Status<CacheProblem>& status) {
  if (status.code() == CacheProblem::kNotLockable)
    return untrustedCacheFailure({status.subject(), N_("cannot be locked")});
  Failure failure = failureText(cacheProblemText(status.code()), status.subject().c_str());
  if (status.code() == CacheProblem::kUnzipMissing || status.code() == CacheProblem::kUnzipFailed)
    failure.logged.clear();
  if (int error = status.systemError())
    failure = {host::systemError(failure.shown, error), host::systemError(failure.logged, error)};
  return failure;
}

Failure startFailure() { return {translate("Failed to start the install agent"), ""}; }

}  // namespace download_app

#include "download_app/failures.h"

#include <glib.h>

#include <algorithm>
#include <vector>

#include "download_app/translation.h"
#include "host/files.h"
#include "host/system_log.h"

namespace download_app {

namespace {

constexpr const char* kStatusFailure = N_("Download failed with error code %ld");
constexpr const char* kStageTexts[] = {
    N_("Downloading"), N_("Waiting for another installer to finish"),
    N_("Verifying the installer…"), N_("Initializing the installer")};
constexpr const char* kRetryingFormat = N_("Download interrupted. Retrying in %d s…");
constexpr const char* kProxyPasswordFailure =
    N_("Download failed: the proxy %s wants a user name and password. Give them in the "
       "environment variable %s, as in %s, and start the installer again.");

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

// Why a directory of the cache may not be used, in the order of `TrustProblem`.
constexpr const char* kTrustProblemTexts[] = {
    N_("cannot be examined"),
    N_("is a symbolic link made by another user"),
    N_("is not a directory"),
    N_("is owned by another user"),
    N_("can be changed by other users"),
    N_("cannot be locked"),
};

// The blank-separated words of a status's subject.
std::vector<std::string> wordsOf(const std::string& subject) {
  constexpr char kBlanks[] = " \t\n\v\f\r";
  std::vector<std::string> words;
  for (size_t start = subject.find_first_not_of(kBlanks); start != std::string::npos;) {
    size_t end = subject.find_first_of(kBlanks, start);
    words.push_back(subject.substr(start, end - start));
    start = subject.find_first_not_of(kBlanks, end);
  }
  return words;
}

// Why a signature does not hold, in English, for the log; `url` is the archive's.
std::string signatureReason(const std::string& url, const SignatureStatus& status) {
  const std::string& subject = status.subject();
  const std::string noSignature =
      "no signature from " + host::redactedUrl(signatureUrl(url)) + ": ";
  std::vector<std::string> words = wordsOf(subject);
  switch (status.code()) {
    case SignatureProblem::kNotASignature:
      return "the signature file is not a minisign signature";
    case SignatureProblem::kUnknownAlgorithm:
      return "the signature file names an unknown algorithm";
    case SignatureProblem::kOtherKey: {
      std::string ours;
      for (size_t i = 1; i < words.size(); ++i) ours += (i == 1 ? "" : " or ") + words[i];
      return "the signature was made with the key " + words.at(0) + ", not with " + ours;
    }
    case SignatureProblem::kCommentAltered:
      return "the trusted comment does not match its signature";
    case SignatureProblem::kArchiveAltered:
      return "the archive does not match its signature";
    case SignatureProblem::kArchiveUnreadable:
      return "the archive could not be read: " + subject;
    case SignatureProblem::kSignsTheFile:
      return "the older signature format signs the archive itself";
    case SignatureProblem::kOtherFile:
      return "signed for another file, " + subject;
    case SignatureProblem::kOlder:
      return "older than the agent already installed (signed at " + words.at(0) +
             ", the installed one at " + words.at(1) + ")";
    case SignatureProblem::kInTheFuture:
      return "signed in the future (at " + subject + ", over a day after this computer's clock)";
    case SignatureProblem::kNoProof:
      return "no signature was checked for it";
    case SignatureProblem::kAnsweredStatus:
      return noSignature + "the server answered with status " + subject;
    case SignatureProblem::kAnswerTooLarge:
      return noSignature + "the answer is larger than a signature file";
    case SignatureProblem::kAnswerUnreadable:
      return noSignature + "the downloaded file could not be read";
    case SignatureProblem::kTransportFailed:
      return noSignature + subject;
    case SignatureProblem::kArchiveNotKept:
      return host::systemError("the archive could not be kept", status.systemError());
  }
  return "";
}

const char* keyFileReason(KeyFileProblem problem) {
  switch (problem) {
    case KeyFileProblem::kNoKeyLines:
      return "it does not hold \"untrusted comment:\" lines, each followed by a key";
    case KeyFileProblem::kNotBase64:
      return "line %s is not a base64 public key";
    case KeyFileProblem::kNotEd25519:
      return "the key on line %s is not an Ed25519 key";
    case KeyFileProblem::kNoKey:
      return "it holds no key";
    case KeyFileProblem::kUnreadable:
      return "it cannot be read";
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

// The proxy `proxy` asked for a password (407): it goes in the variable libcurl reads for `url`.
Failure proxyPasswordFailure(const std::string& proxy, const std::string& url) {
  const std::string variable =
      g_ascii_strncasecmp(url.c_str(), "https:", 6) == 0 ? "https_proxy" : "http_proxy";
  std::string example = proxy;
  size_t authority = example.find("://");
  example.insert(authority == std::string::npos ? 0 : authority + 3, "USER:PASSWORD@");
  example = variable + "=" + example;
  return failureText(kProxyPasswordFailure, proxy.c_str(), variable.c_str(), example.c_str());
}

Failure statusFailure(long status, bool atEnd, const std::string& proxy, const std::string& url) {
  if (status == 407 && !proxy.empty()) return proxyPasswordFailure(proxy, url);
  return {formatText(translate(kStatusFailure), status),
          (atEnd ? "Download failed! Error code- " : "Download failed with http error code- ") +
              std::to_string(status) + (proxy.empty() ? "" : " through the proxy " + proxy)};
}

Failure transportFailure(const std::string& reason) {
  return failureText(N_("Download failed: %s"), reason.c_str());
}

Failure transportFailure(const host::UrlError& error, const std::string& url) {
  if (error.proxyStatus == 407 && !error.proxy.empty())
    return proxyPasswordFailure(error.proxy, url);
  if (error.proxy.empty()) return transportFailure(error.description);
  return transportFailure(error.description + " (through the proxy " + error.proxy + ")");
}

Failure untrustedCacheFailure(const CacheTrust& trust) {
  const char* format = N_("The install agent cache is not safe to use: %s %s.");
  const char* reason = kTrustProblemTexts[static_cast<int>(trust.code())];
  g_autofree gchar* logged = g_strdup_printf(format, trust.subject().c_str(), reason);
  return {formatText(translate(format), trust.subject().c_str(), translate(reason)), logged};
}

Failure nestedRunFailure() {
  return failureText(
      N_("The installer that started this one is using the install agent. Run this installer "
         "again once it has finished."));
}

Failure verificationFailure(const std::string& url, const SignatureStatus& status) {
  const char* text = N_("Failed to verify the installer.");
  return {translate(text),
          std::string(text) + " The download from " + host::redactedUrl(url) +
              " could not be shown to be the vendor's: " + signatureReason(url, status) + "."};
}

Failure keyFileFailure(const std::filesystem::path& keyFile, const KeyFileStatus& status) {
  g_autofree gchar* why = g_strdup_printf(keyFileReason(status.code()), status.subject().c_str());
  std::string text =
      "The signing key file " + keyFile.string() + " is not a minisign public key: " + why + ".";
  return {text, text};
}

std::optional<std::string> staleAgentNote(ProofGap gap, const SignatureStatus& status,
                                          const std::filesystem::path& cache) {
  std::string why;
  if (gap == ProofGap::kNone) return std::nullopt;
  if (gap == ProofGap::kTagIsDirectory)
    return "The validation string " + validationStringPath(cache) +
           " is a directory; the agent is downloaded again";
  if (gap == ProofGap::kNoProof || status.code() == SignatureProblem::kNoProof) {
    why = "no signature was checked for it";
  } else if (gap == ProofGap::kOtherAgent) {
    why = "the signature checked was of another agent";
  } else {
    why = "its signature does not hold: " + signatureReason("", status);
  }
  return "The cached install agent is downloaded again: " + why;
}

Failure cacheFailure(const host::Status<CacheProblem>& status) {
  if (status.code() == CacheProblem::kNotLockable)
    return untrustedCacheFailure({TrustProblem::kNotLockable, status.subject()});
  Failure failure = failureText(cacheProblemText(status.code()), status.subject().c_str());
  if (status.code() == CacheProblem::kUnzipMissing || status.code() == CacheProblem::kUnzipFailed)
    failure.logged.reset();
  if (int error = status.systemError()) {
    failure.shown = host::systemError(failure.shown, error);
    if (failure.logged) failure.logged = host::systemError(*failure.logged, error);
  }
  return failure;
}

Failure startFailure() { return {translate("Failed to start the install agent"), std::nullopt}; }

std::string stageText(Stage stage) { return translate(kStageTexts[static_cast<int>(stage)]); }

std::string retryText(int seconds) { return formatText(translate(kRetryingFormat), seconds); }

std::string retryNote(const std::string& cause, int seconds) {
  return "Download interrupted: " + cause + ". Retrying in " + std::to_string(seconds) + " s";
}

std::string waitingNote() { return kStageTexts[static_cast<int>(Stage::kWaiting)]; }

std::string signatureNote(const std::string& comment) {
  return "The installer's signature holds; trusted comment: " + comment;
}

namespace {

// `cause` in words; `helper` names the window helper as the sentence needs it.
std::string windowCause(const WindowStatus& cause, const std::string& helper) {
  auto seconds = [](std::chrono::seconds bound) { return std::to_string(bound.count()) + " s"; };
  const std::string& subject = cause.subject();
  switch (cause.code()) {
    case WindowProblem::kDisplayUnreachable:
      return host::systemError(subject + " could not be reached", cause.systemError());
    case WindowProblem::kDisplaySilent:
      return subject + " did not answer within " + seconds(kDisplayAnswer);
    case WindowProblem::kDisplayHungUp:
      return subject + " hung up";
    case WindowProblem::kTerminated:
      return "a termination signal came first";
    case WindowProblem::kModuleUnwritten:
      return host::systemError("its module could not be written", cause.systemError());
    case WindowProblem::kModuleUnloadable:
      return subject;
    case WindowProblem::kNoDisplay:
      return "GTK could not open the display";
    case WindowProblem::kHelperUnstarted:
      return host::systemError(helper + " could not be started", cause.systemError());
    case WindowProblem::kHelperComplained:
      return subject.empty() ? helper + " did not start" : subject;
    case WindowProblem::kHelperSilent:
      return helper + " did not answer within " + seconds(kFirstMessage);
    case WindowProblem::kHelperNoise:
      return helper + " sent what no message is";
    case WindowProblem::kHelperMisspoke:
      return helper + " misspoke";
    case WindowProblem::kHelperBehind:
      return helper + " left its messages unread for " + seconds(kBehind);
  }
  return subject;
}

}  // namespace

std::string windowNotLoadedNote(const WindowStatus& cause) {
  return "The desktop window could not be loaded: " + windowCause(cause, "its helper");
}

std::string windowGivenUpNote(const WindowStatus& cause) {
  return "The desktop window was given up: " + windowCause(cause, "the window helper");
}

std::optional<std::string> plainHttpNote(const std::string& url, bool signedArchive) {
  if (signedArchive || g_ascii_strncasecmp(url.c_str(), "http:", 5) != 0) return std::nullopt;
  return "The install agent comes over plain http and unsigned: anyone on the way can change it (" +
         host::redactedUrl(url) + ")";
}

}  // namespace download_app

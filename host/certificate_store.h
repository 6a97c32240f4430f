// The system's trusted certificates, wherever the distribution keeps them: the portable build's
// libcurl and OpenSSL, built once for every distribution, do not know the place, so the installer
// looks where the mainstream distributions keep it, unless SSL_CERT_FILE or SSL_CERT_DIR names
// one. The store is checked before each transfer uses it, since OpenSSL opens what it names
// without a time-out, and the open of a FIFO never returns. Stateless; safe on any thread.
#pragma once

#include <curl/curl.h>

#include <filesystem>
#include <string>
#include <utility>

#include "host/status.h"

namespace host {

enum class CertificateFault {
  kFile,       // SSL_CERT_FILE (or the system's file) is not a regular file
  kDirectory,  // a certificate's hashed name in one of the directories is not a regular file
};
using CertificateStatus = Status<CertificateFault>;

// The first certificate bundle and hashed directory under `systemRoot`; each empty if none.
std::pair<std::string, std::string> findSystemCertificateStore(
    const std::filesystem::path& systemRoot = "/");

// The store the user named with SSL_CERT_FILE and SSL_CERT_DIR, else the system's.
std::pair<std::string, std::string> certificateStore();

// Has the transfer `easy` trust `store`, for the server and an https proxy alike, once its file
// and every hashed name ("<8 hex digits>.<n>" or ".r<n>") in its directories (":" between two)
// are regular files where they exist. The failure's subject is the file refused.
CertificateStatus useCertificateStore(CURL* easy, const std::pair<std::string, std::string>& store);

// The failure as libcurl words its own certificate errors, for the download's message.
std::string describe(const CertificateStatus& status);

}  // namespace host

#include "host/certificate_store.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <system_error>

#include "host/files.h"

namespace host {

std::pair<std::string, std::string> findSystemCertificateStore(
    const std::filesystem::path& systemRoot) {
  static constexpr const char* kBundles[] = {
      "etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
      "etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL 6
      "etc/ssl/ca-bundle.pem",                             // openSUSE
      "etc/pki/tls/cacert.pem",                            // OpenELEC
      "etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // CentOS, RHEL 7
      "etc/ssl/cert.pem",                                  // Alpine
  };
  static constexpr const char* kDirectories[] = {"etc/ssl/certs", "etc/pki/tls/certs"};
  // The first of `places` under the system root that is of `type`, or "".
  auto first = [&](const auto& places, std::filesystem::file_type type) {
    std::error_code error;
    for (const char* place : places) {
      std::filesystem::path path = systemRoot / place;
      if (std::filesystem::status(path, error).type() == type) return path.string();
    }
    return std::string();
  };
  return {first(kBundles, std::filesystem::file_type::regular),
          first(kDirectories, std::filesystem::file_type::directory)};
}

std::pair<std::string, std::string> certificateStore() {
  const char* file = getenv("SSL_CERT_FILE");
  const char* directory = getenv("SSL_CERT_DIR");
  std::pair<std::string, std::string> named{file ? file : "", directory ? directory : ""};
  return named.first.empty() && named.second.empty() ? findSystemCertificateStore() : named;
}

namespace {

// A name OpenSSL looks a certificate (or a revocation list, "r") up by in a hashed directory.
bool isHashedName(std::string_view name) {
  if (name.size() < 10 || name[8] != '.') return false;
  std::string_view number = name.substr(name[9] == 'r' ? 10 : 9);
  return name.find_first_not_of("0123456789abcdef") == 8 && !number.empty() &&
         number.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `path` does not exist or is a regular file: no FIFO, device or directory.
bool readableAtOnce(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

}  // namespace

CertificateStatus useCertificateStore(CURL* easy,
                                      const std::pair<std::string, std::string>& store) {
  const auto& [file, directories] = store;
  if (!file.empty() && !readableAtOnce(file)) return {CertificateFault::kFile, file};
  for (size_t start = 0; start <= directories.size();) {
    const size_t end = std::min(directories.find(':', start), directories.size());
    const std::filesystem::path directory = directories.substr(start, end - start);
    for (const std::string& name : listDirectory(directory))
      if (isHashedName(name) && !readableAtOnce(directory / name))
        return {CertificateFault::kDirectory, directory / name};
    start = end + 1;
  }
  for (CURLoption option : {CURLOPT_CAINFO, CURLOPT_PROXY_CAINFO})
    if (!file.empty()) curl_easy_setopt(easy, option, file.c_str());
  for (CURLoption option : {CURLOPT_CAPATH, CURLOPT_PROXY_CAPATH})
    if (!directories.empty()) curl_easy_setopt(easy, option, directories.c_str());
  return {};
}

std::string describe(const CertificateStatus& status) {
  const char* what = status.code() == CertificateFault::kFile ? "file" : "path";
  return std::string("error setting certificate ") + what + ": " + status.subject() +
         " is not a regular file";
}

}  // namespace host

#include "host/certificate_store.h"

#include <stdlib.h>

#include <system_error>

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
  std::pair<std::string, std::string> store;
  std::error_code error;
  for (const char* bundle : kBundles) {
    std::filesystem::path path = systemRoot / bundle;
    if (std::filesystem::is_regular_file(path, error)) {
      store.first = path.string();
      break;
    }
  }
  for (const char* directory : kDirectories) {
    std::filesystem::path path = systemRoot / directory;
    if (std::filesystem::is_directory(path, error)) {
      store.second = path.string();
      break;
    }
  }
  return store;
}

std::pair<std::string, std::string> certificateStore() {
  const char* file = getenv("SSL_CERT_FILE");
  const char* directory = getenv("SSL_CERT_DIR");
  std::pair<std::string, std::string> named{file ? file : "", directory ? directory : ""};
  return named.first.empty() && named.second.empty() ? findSystemCertificateStore() : named;
}

}  // namespace host

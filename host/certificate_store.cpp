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

}  // namespace host

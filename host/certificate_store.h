// The system's trusted certificates, wherever the distribution keeps them. The portable
// installer's libcurl and OpenSSL, built once for every distribution, do not know the store, so
// the installer looks for it at the places the mainstream distributions use, unless the user
// names one with SSL_CERT_FILE or SSL_CERT_DIR; a system's libcurl would have found the same
// place. Stateless; safe on any thread.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

namespace host {

// The first certificate bundle and the first hashed certificate directory found under
// `systemRoot`, each empty when none is found.
std::pair<std::string, std::string> findSystemCertificateStore(
    const std::filesystem::path& systemRoot = "/");

// The store the user named with SSL_CERT_FILE and SSL_CERT_DIR, else the system's.
std::pair<std::string, std::string> certificateStore();

}  // namespace host

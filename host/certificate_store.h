// The system's trusted certificates, wherever the distribution keeps them.
//
// A libcurl of the system's knows its own distribution's certificate store; the portable
// installer's libcurl and OpenSSL, built once for every distribution, do not. So the installer
// looks for the store itself, at the places the mainstream distributions use, when the user has
// not named one with SSL_CERT_FILE or SSL_CERT_DIR. Both builds take the same road: with the
// system's libcurl the place found is the one it would have used anyway. Stateless; safe on any
// thread.
#pragma once

#include <filesystem>
#include <string>
#include <tuple>  // std::tie, for the pair below
#include <utility>

namespace host {

// The first certificate bundle and the first hashed certificate directory found under
// `systemRoot`, as a file and a directory path (each empty when none is found). Debian,
// Ubuntu and Arch; Fedora and RHEL; openSUSE; Alpine: in that order.
std::pair<std::string, std::string> findSystemCertificateStore(
    const std::filesystem::path& systemRoot = "/");

// The store the user named with SSL_CERT_FILE and SSL_CERT_DIR, else the system's.
std::pair<std::string, std::string> certificateStore();

}  // namespace host

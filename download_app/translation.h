// The download window's texts in the user's language. Every text the window shows is written in
// English and looked up here through gettext, in the bundle's catalogues
// ("locale/<language>/LC_MESSAGES/bootstrap-installer.mo"), for the language the user's locale
// asks for. Without a translation, or with one that takes other printf arguments
// (format_conversions.h), a text stays English; the first refusal of each is logged.
//
// Only these look-ups use the user's locale: the process keeps the "C" locale, so console and
// system-log lines stay English for the scripts that read them. Safe on any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace download_app {

// Marks an English text for the catalogues where it is written down; `translate` it where it
// is shown.
constexpr const char* N_(const char* english) { return english; }

// The bundle's catalogues (platform/location.h), unless `useCatalogues` named others before the
// first look-up.
std::filesystem::path catalogueFolder();
// For the window helper, which runs from elsewhere than the bundle: the installer's catalogues.
void useCatalogues(const std::filesystem::path& folder);

// The translation of `english` (UTF-8), or `english` itself.
const char* translate(const char* english) __attribute__((format_arg(1)));

// printf into a string, numbers written as the user's locale writes them ("1,5" in German).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A byte count as both windows show it: "512 bytes", "1.5 kB", "12.0 MB" in English, decimal
// units, with a plain blank before the unit.
std::string formatByteCount(int64_t bytes);

}  // namespace download_app

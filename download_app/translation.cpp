#include "download_app/translation.h"

#include <libintl.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <mutex>
#include <set>
#include <string_view>

#include "download_app/format_conversions.h"
#include "host/system_log.h"
#include "platform/location.h"

namespace download_app {
namespace {

constexpr char kDomain[] = "bootstrap-installer";

std::filesystem::path chosenCatalogues;  // named by `useCatalogues`

// The user's locale for messages and numbers, and the catalogues bound, once per process.
class UserLocale {
 public:
  UserLocale() {
    if (!catalogues_.empty()) bindtextdomain(kDomain, catalogues_.c_str());
    bind_textdomain_codeset(kDomain, "UTF-8");
    // Numbers as the user writes them when that locale is installed; messages as the user asks
    // for them, and when the locale is missing, still as LANGUAGE asks (which gettext ignores
    // only under "C").
    locale_ = newlocale(LC_MESSAGES_MASK | LC_NUMERIC_MASK, "", nullptr);
    if (locale_ == nullptr) locale_ = newlocale(LC_MESSAGES_MASK, "", nullptr);
    if (locale_ == nullptr) locale_ = newlocale(LC_MESSAGES_MASK, "C.UTF-8", nullptr);
  }

  // Runs `lookUp` with the user's locale as this thread's.
  template <typename Function>
  auto with(Function lookUp) const {
    if (locale_ == nullptr) return lookUp();
    locale_t previous = uselocale(locale_);
    auto result = lookUp();
    uselocale(previous);
    return result;
  }

  // The catalogue the translations come from, for the log: its file, the language as the
  // catalogue's header names it ("*" when it names none).
  std::string catalogue() const {
    std::string header = "\n" + std::string(with([] { return dgettext(kDomain, ""); })) + "\n";
    std::string language = "*";
    if (size_t at = header.find("\nLanguage:"); at != std::string::npos) {
      size_t start = header.find_first_not_of(' ', at + 10);
      language = header.substr(start, header.find('\n', start) - start);
    }
    return (catalogues_ / language / "LC_MESSAGES" / kDomain).string() + ".mo";
  }

 private:
  locale_t locale_ = nullptr;  // kept until the process ends
  std::filesystem::path catalogues_ = catalogueFolder();
};

const UserLocale& userLocale() {
  static const UserLocale locale;
  return locale;
}

// `text` with its control characters written as "\x..", for one log line.
std::string printable(std::string_view text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    }
  }
  return shown;
}

// Whether `translated`, the translation of `english` (or of `englishPlural`), takes the English
// text's printf arguments; the first refusal of each translation is logged.
bool usable(const char* translated, const char* english, const char* englishPlural = nullptr) {
  if (translated == english || translated == englishPlural ||
      sameConversions(english, translated) ||
      (englishPlural != nullptr && sameConversions(englishPlural, translated)))
    return true;
  static std::mutex mutex;
  static auto* refused = new std::set<std::string>;  // kept until the process ends
  std::lock_guard lock(mutex);
  if (refused->insert(translated).second) {
    host::systemLog(
        "The catalogue %s translates \"%s\" as \"%s\", which takes other printf arguments: the "
        "English text is shown",
        printable(userLocale().catalogue()).c_str(), printable(english).c_str(),
        printable(translated).c_str());
  }
  return false;
}

// The translation of `singular` or `plural`, as the language's plural rule chooses for `count`.
__attribute__((format_arg(1), format_arg(2))) const char* translatePlural(const char* singular,
                                                                          const char* plural,
                                                                          unsigned long count) {
  const char* translated =
      userLocale().with([=] { return dngettext(kDomain, singular, plural, count); });
  if (usable(translated, singular, plural)) return translated;
  return count == 1 ? singular : plural;
}

}  // namespace

std::filesystem::path catalogueFolder() {
  return chosenCatalogues.empty() ? getCatalogueLocation() : chosenCatalogues;
}

void useCatalogues(const std::filesystem::path& folder) { chosenCatalogues = folder; }

const char* translate(const char* english) {
  const char* translated = userLocale().with([english] { return dgettext(kDomain, english); });
  return usable(translated, english) ? translated : english;
}

std::string formatText(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char* formatted = nullptr;
  int length = userLocale().with([&] { return vasprintf(&formatted, format, arguments); });
  va_end(arguments);
  if (length < 0) return "";
  std::string text(formatted);
  free(formatted);
  return text;
}

std::string formatByteCount(int64_t bytes) {
  uint64_t size = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
  if (size < 1000) {
    auto count = static_cast<unsigned>(size);
    return formatText(translatePlural("%u byte", "%u bytes", count), count);
  }
  static const char* const kUnits[] = {N_("%.1f kB"), N_("%.1f MB"), N_("%.1f GB"),
                                       N_("%.1f TB"), N_("%.1f PB"), N_("%.1f EB")};
  double factor = 1000;
  size_t unit = 0;
  while (unit + 1 < std::size(kUnits) && static_cast<double>(size) >= factor * 1000) {
    factor *= 1000;
    ++unit;
  }
  return formatText(translate(kUnits[unit]), static_cast<double>(size) / factor);
}

}  // namespace download_app

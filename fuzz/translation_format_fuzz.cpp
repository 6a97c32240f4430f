// A catalogue's translation of a window text, checked as download_app/translation.cpp checks it
// (download_app/format_conversions.h `sameConversions`) before the window formats it. The first
// byte picks one of the window's English texts; the rest is the translation. A translation the
// check lets through is formatted with the arguments the installer gives that text, so a check
// that let through a wrong one would make printf read what was not passed, which the sanitizers
// see. A last choice checks two texts of the input against each other, both ways.
#include <functional>
#include <string>

#include "download_app/format_conversions.h"
#include "download_app/translation.h"
#include "fuzz/fuzz_input.h"

namespace {

using download_app::formatText;

// The window's texts that printf formats (po/bootstrap-installer.pot), each with the
// installer's arguments for it; for a plural, its two English forms.
struct WindowText {
  const char* english;
  const char* plural;
  std::function<std::string(const char*)> format;
};

const WindowText kWindowTexts[] = {
    {"%.1f kB", nullptr, [](const char* text) { return formatText(text, 1.5); }},
    {"%.1f EB", nullptr, [](const char* text) { return formatText(text, 9.2); }},
    {"%s of %s", nullptr, [](const char* text) { return formatText(text, "1.5 kB", "12.0 MB"); }},
    {"%u byte", "%u bytes", [](const char* text) { return formatText(text, 512u); }},
    {"Could not make a directory in %s", nullptr,
     [](const char* text) { return formatText(text, "/home/user/.cache"); }},
    {"Download failed with error code %ld", nullptr,
     [](const char* text) { return formatText(text, 404L); }},
    {"Download failed: %s", nullptr,
     [](const char* text) { return formatText(text, "Couldn't connect to server"); }},
    {"Download interrupted. Retrying in %d s…", nullptr,
     [](const char* text) { return formatText(text, 8); }},
    {"The install agent cache is not safe to use: %s %s.", nullptr,
     [](const char* text) { return formatText(text, "/tmp/.cache", "is owned by another user"); }},
    {"Cancel", nullptr, [](const char* text) { return std::string(text); }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr size_t kTexts = std::size(kWindowTexts);
  size_t choice = data[0] % (kTexts + 1);
  std::string translated(fuzz::textOf(data + 1, size - 1));

  if (choice == kTexts) {  // two texts of the input, split at the first NUL
    size_t split = translated.find('\0');
    std::string first = translated.substr(0, split);
    std::string second = split == std::string::npos ? "" : translated.substr(split + 1);
    bool same = download_app::sameConversions(first.c_str(), second.c_str());
    FUZZ_CHECK(same == download_app::sameConversions(second.c_str(), first.c_str()));
    if (same) FUZZ_CHECK(download_app::sameConversions(first.c_str(), first.c_str()));
    return 0;
  }

  const WindowText& text = kWindowTexts[choice];
  bool usable = download_app::sameConversions(text.english, translated.c_str()) ||
                (text.plural && download_app::sameConversions(text.plural, translated.c_str()));
  if (usable) text.format(translated.c_str());
  // The English text itself is always usable.
  FUZZ_CHECK(download_app::sameConversions(text.english, text.english));
  return 0;
}

#include "download_app/format_conversions.h"

#include <gtest/gtest.h>

namespace {

// A translation may reword and reorder, never take other arguments.
TEST(FormatConversions, ATranslationKeepsTheEnglishTextsArguments) {
  struct Row {
    const char* english;
    const char* translated;
    bool kept;
  };
  const Row rows[] = {
      {"Download failed with error code %ld", "Fehlercode %ld", true},
      {"%s of %s", "%2$s de %1$s", true},
      {"%.1f kB", "%.1f kB (100 %%)", true},
      {"Cancel", "Abbrechen", true},
      {"Download failed with error code %ld", "Fehlercode %lu", false},
      {"%s of %s", "%s", false},
      {"%s of %s", "%s von %s %s", false},
      {"%u byte", "%u%n Byte", false},
      {"%s of %s", "%1$s von %s", false},  // positions mixed with plain conversions
      {"%s of %s", "%2$s", false},         // an argument skipped
      {"%s of %s", "%1$s %1$d", false},    // one argument read as two types
      {"%d s", "%i s %m", false},          // conversions no window text uses
      {"%d s", "%*d s", false},
      {"%s", "%256s", false},
      {"%lld", "%10$lld", false},
      {"Cancel", "100 %", false},
      {"Cancel", "%y", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.translated);
    EXPECT_EQ(download_app::sameConversions(row.english, row.translated), row.kept);
  }
}

}  // namespace

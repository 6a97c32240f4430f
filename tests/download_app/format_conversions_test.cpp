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
      {"%.1f kB", "%'5.2f kB (100 %%)", true},
      {"%d s", "%i s %m", true},  // %m reads no argument
      {"Cancel", "Abbrechen", true},
      {"Download failed with error code %ld", "Fehlercode %lu", false},
      {"%s of %s", "%s", false},
      {"%s of %s", "%s von %s %s", false},
      {"%u byte", "%u%n Byte", false},
      {"%s of %s", "%1$s von %s", false},  // positions mixed with plain conversions
      {"%s of %s", "%2$s", false},         // an argument skipped
      {"%d s", "%*d s", false},
      {"%d s", "%1$d s %5000$m", false},  // printf would read 5000 arguments
      {"%s", "%256s", false},  // a text of any length
      {"Cancel", "100 %", false},
      {"Cancel", "%y", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.translated);
    EXPECT_EQ(download_app::sameConversions(row.english, row.translated), row.kept);
  }
}

}  // namespace

#include "download_app/translation.h"

#include <glib.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

// The test program lies in no bundle: it has no catalogues, as a bundle without them.
TEST(Translation, WithoutCataloguesTextsStayEnglish) {
  EXPECT_STREQ(download_app::translate("Cancel"), "Cancel");
  EXPECT_EQ(download_app::formatText(download_app::translate("%s of %s"), "1.0 kB", "2.0 kB"),
            "1.0 kB of 2.0 kB");
}

// In English the byte counts read as GLib writes them, with a plain blank before the unit.
TEST(Translation, EnglishByteCountsAreGLibs) {
  for (int64_t bytes :
       {0LL, 1LL, 2LL, 999LL, 1000LL, 1500LL, 65536LL, 999999LL, 1048576LL, 12000000LL,
        3000000000LL, 5000000000000LL, 7000000000000000LL, 9000000000000000000LL}) {
    SCOPED_TRACE(bytes);
    gchar* glib = g_format_size(static_cast<guint64>(bytes));
    std::string expected = glib;
    g_free(glib);
    if (size_t at = expected.find("\u00a0"); at != std::string::npos) expected.replace(at, 2, " ");
    EXPECT_EQ(download_app::formatByteCount(bytes), expected);
  }
  EXPECT_EQ(download_app::formatByteCount(-5), "0 bytes");
}

}  // namespace

// The server's header fields as the URL session hands them up (host/url_session.h
// `UrlResponse::headerField`): every field the installer reads is found, whatever the case of its
// name, and it is the first field of that name. The input is a header block; libcurl splits the
// real one into the same (name, value) pairs.
#include <glib.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "host/url_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::UrlResponse response = fuzz::responseFrom(fuzz::textOf(data, size));
  static const char* const kReadByTheInstaller[] = {"ETag", "Accept-Ranges", "Content-Range",
                                                    "Retry-After"};
  std::vector<std::string> names(std::begin(kReadByTheInstaller), std::end(kReadByTheInstaller));
  for (const auto& [name, value] : response.headerFields) names.push_back(name);
  for (const std::string& name : names) {
    std::optional<std::string> first;
    for (const auto& [field, value] : response.headerFields) {
      if (field.size() == name.size() &&
          g_ascii_strncasecmp(field.data(), name.data(), name.size()) == 0) {
        first = value;
        break;
      }
    }
    FUZZ_CHECK(response.headerField(name) == first);
  }
  return 0;
}

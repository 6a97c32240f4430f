// What the fuzz targets share: a check that stops the run when a parser breaks its contract, a
// server's answer made from the bytes of a header block, and a scratch directory for the
// parsers that read files. Header-only; every target is a program of its own, run on one thread.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "host/url_session.h"

// Stops the target, as a sanitizer would, when `condition` does not hold.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                           \
    }                                                                                    \
  } while (false)

namespace fuzz {

inline std::string_view textOf(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// An answer as the URL session hands it up: the status from the first line ("HTTP/1.1 206
// Partial Content"), and each further line "Name: value" as libcurl gives a field, its value
// without the blanks around it. Lines without a colon are not fields.
inline host::UrlResponse responseFrom(std::string_view block) {
  host::UrlResponse response;
  bool statusLine = true;
  while (!block.empty()) {
    size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (statusLine) {
      statusLine = false;
      size_t space = line.find(' ');
      if (space != std::string_view::npos)
        response.statusCode = strtol(std::string(line.substr(space + 1)).c_str(), nullptr, 10);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    response.headerFields.emplace_back(line.substr(0, colon), value);
  }
  return response;
}

// A directory of the target's own, made at its first use and removed when the target ends; in
// memory when the system has a place for it, where a file costs a few times less to write.
inline const std::filesystem::path& scratchDirectory() {
  struct Scratch {
    Scratch() {
      std::error_code error;
      std::filesystem::path parent = std::filesystem::is_directory("/dev/shm", error)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
      std::string pattern = (parent / "fuzz.XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) abort();
      path = pattern;
    }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
  };
  static const Scratch scratch;
  return scratch.path;
}

// Writes exactly `bytes` to `path`, replacing the file.
inline void writeWhole(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) abort();
}

}  // namespace fuzz

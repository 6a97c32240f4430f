// Reading the first line of a small text file: the endpoint URL file and the cache's
// validation-string file. Stateless; safe on any thread.
#pragma once

#include <string>

// Reads every byte of `path` before its first line feed (or the whole content when there is
// none) into `line`, without any trimming. False, with `line` empty, when the file cannot be
// opened. A read error ends the line early. Never blocks on a named pipe without a writer.
bool readFirstLine(const std::string& path, std::string* line);

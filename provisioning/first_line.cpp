#include "provisioning/first_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

bool readFirstLine(const std::string& path, std::string* line) {
  line->clear();
  // Opened without blocking, so a named pipe in its place cannot hold the run; reads then block.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    close(fd);
    return false;
  }
  for (int c = getc(file); c != EOF && c != '\n'; c = getc(file))
    line->push_back(static_cast<char>(c));
  fclose(file);  // a failure to close changes nothing that was read
  return true;
}

#include "platform/shell.h"

#include <cstdlib>

namespace {

// Characters that the shell gives no meaning, bare or inside double quotes.
bool isOrdinary(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '/':
    case '.':
    case '_':
    case '-':
    case '+':
    case ',':
    case ':':
    case '@':
    case '%':
    case '=':
    case ' ':
    case '\t':
      return true;
    default:
      return false;
  }
}

std::string singleQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace

std::string smart_quote(std::string text) {
  if (text.find(' ') != std::string::npos || text.find('\t') != std::string::npos)
    return "\"" + text + "\"";
  return text;
}

std::string shell_word(std::string path) {
  bool ordinary = !path.empty() && path.front() != '-';
  for (unsigned char c : path) {
    if (!isOrdinary(c)) {
      ordinary = false;
      break;
    }
  }
  if (ordinary) return smart_quote(std::move(path));
  return singleQuote(path);
}

std::string argv2cmdline(int argc, const char* argv[]) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr) line += argv[i];
    line += ' ';
  }
  return line;
}

int call_system(std::string /*program*/, std::string command) {
  return std::system(command.c_str());
}

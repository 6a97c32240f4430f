#include "download_app/format_conversions.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace download_app {
namespace {

// What printf reads for a conversion: the type of its argument after the default promotions.
using Argument = std::string_view;

// No window text takes more arguments than this.
constexpr size_t kMostArguments = 32;
// Nor a wider field or a longer precision: a larger one would only make a text of any length.
constexpr size_t kWidestField = 255;

// What the conversions read with a length modifier; any pair not here is refused ("%n" too).
struct Reading {
  std::string_view conversions;
  std::string_view length;
  Argument argument;
};
constexpr Reading kReadings[] = {
    {"di", "", "int"},
    {"di", "hh", "int"},
    {"di", "h", "int"},
    {"di", "l", "long"},
    {"di", "ll", "long long"},
    {"di", "j", "intmax_t"},
    {"di", "z", "ssize_t"},
    {"di", "t", "ptrdiff_t"},
    {"ouxX", "", "unsigned"},
    {"ouxX", "hh", "unsigned"},
    {"ouxX", "h", "unsigned"},
    {"ouxX", "l", "unsigned long"},
    {"ouxX", "ll", "unsigned long long"},
    {"ouxX", "j", "uintmax_t"},
    {"ouxX", "z", "size_t"},
    {"ouxX", "t", "ptrdiff_t"},
    {"eEfFgGaA", "", "double"},
    {"eEfFgGaA", "l", "double"},
    {"eEfFgGaA", "L", "long double"},
    {"c", "", "int"},
    {"c", "l", "wint_t"},
    {"C", "", "wint_t"},
    {"s", "", "char*"},
    {"s", "l", "wchar_t*"},
    {"S", "", "wchar_t*"},
    {"p", "", "void*"},
};

// The arguments of one format, by position.
class ArgumentList {
 public:
  // Adds the argument at `position` (from 1), or the next one when `position` is 0. False when
  // the format mixes positions with plain conversions, or reads one position as two types.
  bool add(size_t position, Argument type) {
    (position == 0 ? sequential_ : positional_) = true;
    if (sequential_ && positional_) return false;
    if (position == 0) position = arguments_.size() + 1;
    if (position > kMostArguments) return false;
    if (arguments_.size() < position) arguments_.resize(position);
    std::optional<Argument>& slot = arguments_[position - 1];
    if (slot && *slot != type) return false;
    slot = type;
    return true;
  }

  // Whether every argument up to the last is read: printf cannot step over one it does not know.
  bool complete() const {
    return std::find(arguments_.begin(), arguments_.end(), std::nullopt) == arguments_.end();
  }

  bool operator==(const ArgumentList& other) const { return arguments_ == other.arguments_; }

 private:
  std::vector<std::optional<Argument>> arguments_;
  bool sequential_ = false;
  bool positional_ = false;
};

// The decimal number at the front of `text`, taken off it; nothing, and `text` as it was, when
// there is no digit there. Numbers too large for any use read as kMostArguments + kWidestField.
std::optional<size_t> takeNumber(std::string_view& text) {
  size_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return error == std::errc() ? std::min(number, kMostArguments + kWidestField)
                              : kMostArguments + kWidestField;
}

// A position "m$" at the front of `text`, taken off it: m, or 0 when there is none there; nothing
// for the position 0, which names no argument.
std::optional<size_t> takePosition(std::string_view& text) {
  std::string_view rest = text;
  std::optional<size_t> number = takeNumber(rest);
  if (!number || rest.empty() || rest.front() != '$') return 0;
  if (*number == 0) return std::nullopt;
  text = rest.substr(1);
  return number;
}

// A field width or a precision at the front of `text`, taken off it: digits, or "*" or "*m$",
// which read an int. False when it is malformed or too large.
bool takeField(std::string_view& text, ArgumentList& arguments) {
  if (!text.empty() && text.front() == '*') {
    text.remove_prefix(1);
    std::optional<size_t> position = takePosition(text);
    return position && arguments.add(*position, "int");
  }
  std::optional<size_t> number = takeNumber(text);
  return !number || *number <= kWidestField;
}

// The length modifier at the front of `text`, taken off it; "q" and "Z" are old spellings.
std::string_view takeLength(std::string_view& text) {
  static constexpr std::pair<std::string_view, std::string_view> kLengths[] = {
      {"hh", "hh"}, {"h", "h"}, {"ll", "ll"}, {"l", "l"}, {"q", "ll"},
      {"L", "L"},   {"j", "j"}, {"z", "z"},   {"Z", "z"}, {"t", "t"}};
  for (const auto& [modifier, length] : kLengths) {
    if (text.starts_with(modifier)) {
      text.remove_prefix(modifier.size());
      return length;
    }
  }
  return "";
}

std::optional<Argument> argumentOf(char conversion, std::string_view length) {
  for (const Reading& reading : kReadings)
    if (reading.length == length && reading.conversions.find(conversion) != std::string_view::npos)
      return reading.argument;
  return std::nullopt;
}

// The arguments `format` reads; nothing when printf could not be given it safely.
std::optional<ArgumentList> argumentsOf(std::string_view format) {
  ArgumentList arguments;
  for (size_t percent = format.find('%'); percent != std::string_view::npos;
       percent = format.find('%')) {
    std::string_view text = format.substr(percent + 1);
    if (text.starts_with('%')) {  // a percent sign
      format = text.substr(1);
      continue;
    }
    std::optional<size_t> position = takePosition(text);
    if (!position) return std::nullopt;
    size_t flags = text.find_first_not_of("-+ #0'I");
    text.remove_prefix(flags == std::string_view::npos ? text.size() : flags);
    if (!takeField(text, arguments)) return std::nullopt;
    if (text.starts_with('.')) {
      text.remove_prefix(1);
      if (!takeField(text, arguments)) return std::nullopt;
    }
    std::string_view length = takeLength(text);
    if (text.empty()) return std::nullopt;
    char conversion = text.front();
    format = text.substr(1);
    if (conversion == 'm' && length.empty()) {  // the text of errno: reads nothing
      // but printf still reads every argument up to a position given to it.
      if (*position != 0) return std::nullopt;
      continue;
    }
    std::optional<Argument> argument = argumentOf(conversion, length);
    if (!argument || !arguments.add(*position, *argument)) return std::nullopt;
  }
  if (!arguments.complete()) return std::nullopt;
  return arguments;
}

}  // namespace

bool sameConversions(const char* english, const char* translated) {
  if (english == nullptr || translated == nullptr) return false;
  std::optional<ArgumentList> expected = argumentsOf(english);
  std::optional<ArgumentList> found = argumentsOf(translated);
  return expected && found && *expected == *found;
}

}  // namespace download_app

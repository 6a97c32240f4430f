#include "download_app/format_conversions.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace download_app {
namespace {

// The conversions the window's texts use; each reads an argument of its own type.
constexpr std::string_view kConversions[] = {"s", "d", "u", "ld", "lld", ".1f"};
constexpr int kUnread = -1;

// The conversion of each argument `format` reads, by position (an index into kConversions);
// nothing when it holds another conversion, mixes positions ("%1$s") with plain conversions,
// skips an argument or reads one as two types.
std::optional<std::vector<int>> argumentsOf(std::string_view format) {
  std::vector<int> arguments;
  bool positional = false, plain = false;
  for (size_t percent = format.find('%'); percent != std::string_view::npos;
       percent = format.find('%')) {
    format.remove_prefix(percent + 1);
    if (format.starts_with('%')) {  // a percent sign
      format.remove_prefix(1);
      continue;
    }
    size_t position = arguments.size() + 1;
    if (format.size() > 1 && format[0] >= '1' && format[0] <= '9' && format[1] == '$') {
      position = static_cast<size_t>(format[0] - '0');
      format.remove_prefix(2);
      positional = true;
    } else {
      plain = true;
    }
    auto conversion = std::find_if(std::begin(kConversions), std::end(kConversions),
                                   [&](std::string_view c) { return format.starts_with(c); });
    if (conversion == std::end(kConversions) || (positional && plain)) return std::nullopt;
    format.remove_prefix(conversion->size());
    if (arguments.size() < position) arguments.resize(position, kUnread);
    int& argument = arguments[position - 1];
    int type = static_cast<int>(conversion - std::begin(kConversions));
    if (argument != kUnread && argument != type) return std::nullopt;
    argument = type;
  }
  if (std::find(arguments.begin(), arguments.end(), kUnread) != arguments.end())
    return std::nullopt;
  return arguments;
}

}  // namespace

bool sameConversions(const char* english, const char* translated) {
  if (english == nullptr || translated == nullptr) return false;
  std::optional<std::vector<int>> expected = argumentsOf(english);
  std::optional<std::vector<int>> found = argumentsOf(translated);
  return expected && found && *expected == *found;
}

}  // namespace download_app

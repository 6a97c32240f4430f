#include "support/reliability.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace testsupport {

namespace {

constexpr uint64_t kDefaultSeed = 20240611;

std::string escapeCell(const std::string& cell) {
  std::string escaped;
  for (char c : cell) {
    if (c == '|')
      escaped += "\\|";
    else if (c == '\n')
      escaped += "<br>";
    else
      escaped += c;
  }
  return escaped;
}

}  // namespace

std::string formatMilliseconds(double ms) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, ms < 10 ? "%.1f" : "%.0f", ms);
  return buffer;
}

bool fullReliabilityRun() {
  const char* scale = getenv("INSTALLER_RELIABILITY");
  return scale != nullptr && strcmp(scale, "full") == 0;
}

int reliabilityCount(int quick, int full) { return fullReliabilityRun() ? full : quick; }

uint64_t reliabilitySeed() {
  const char* seed = getenv("INSTALLER_RELIABILITY_SEED");
  if (seed == nullptr || *seed == '\0') return kDefaultSeed;
  return strtoull(seed, nullptr, 10);
}

std::string describeTimes(std::vector<double> milliseconds) {
  if (milliseconds.empty()) return "-";
  std::sort(milliseconds.begin(), milliseconds.end());
  double median = milliseconds[milliseconds.size() / 2];
  return formatMilliseconds(milliseconds.front()) + " / " + formatMilliseconds(median) + " / " +
         formatMilliseconds(milliseconds.back());
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string printable(const std::string& text) {
  std::string result;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      result += static_cast<char>(c);
    } else {
      char buffer[8];
      snprintf(buffer, sizeof buffer, "\\x%02x", c);
      result += buffer;
    }
  }
  return result;
}

ReliabilitySection::ReliabilitySection(std::string fileName, std::string title)
    : fileName_(std::move(fileName)), text_("## " + title + "\n\n") {}

ReliabilitySection::~ReliabilitySection() {
  const char* directory = getenv("INSTALLER_RELIABILITY_REPORT");
  if (directory == nullptr || *directory == '\0') return;
  std::ofstream out(std::string(directory) + "/" + fileName_ + ".md", std::ios::binary);
  out << text_;
}

void ReliabilitySection::paragraph(const std::string& text) { text_ += text + "\n\n"; }

void ReliabilitySection::table(const std::vector<std::string>& header,
                               const std::vector<std::vector<std::string>>& rows) {
  std::string line = "|";
  std::string rule = "|";
  for (const std::string& cell : header) {
    line += " " + escapeCell(cell) + " |";
    rule += "---|";
  }
  text_ += line + "\n" + rule + "\n";
  for (const std::vector<std::string>& row : rows) {
    line = "|";
    for (const std::string& cell : row) line += " " + escapeCell(cell) + " |";
    text_ += line + "\n";
  }
  text_ += "\n";
}

}  // namespace testsupport

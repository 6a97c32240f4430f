// Sizes and figures of the reliability runs (tests/reliability).
//
// The reliability tests run in a short form by default, as part of the normal test suite, and
// in full when the environment holds INSTALLER_RELIABILITY=full (tools/reliability sets it).
// Random choices come from INSTALLER_RELIABILITY_SEED (a number) or a fixed seed, so every run
// can be repeated; a failing case names its seed.
//
// Each test describes what it found in a `ReliabilitySection`: a title, paragraphs and tables.
// When INSTALLER_RELIABILITY_REPORT names a directory, the section is written there as a
// Markdown file on destruction; tools/reliability joins the files into docs/reliability.md.
// Without it nothing is written. One section per test, on the test's thread. The fault matrix,
// one test per row, records its rows as test properties instead (tools/lib/reliability-results).
//
// Example:
//   ReliabilitySection section("30-kill-storm", "Kill storm");
//   section.paragraph("Runs killed with SIGKILL ...");
//   section.table({"case", "held"}, {{"download", "50/50"}});
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// True for the full run.
bool fullReliabilityRun();
// `quick` in the short form, `full` in the full run.
int reliabilityCount(int quick, int full);
// The seed of the run's random choices.
uint64_t reliabilitySeed();

// Times in milliseconds, for the tables: "min / median / max".
std::string describeTimes(std::vector<double> milliseconds);
// One time in milliseconds, as the tables show it.
std::string formatMilliseconds(double milliseconds);
double millisecondsSince(std::chrono::steady_clock::time_point start);

// `text` with every byte that is not printable ASCII, and the backslash, written as \xNN, so
// that any path can be shown in a message or a table.
std::string printable(const std::string& text);

class ReliabilitySection {
 public:
  // `fileName` orders the sections ("30-kill-storm"); `title` heads this one.
  ReliabilitySection(std::string fileName, std::string title);
  ~ReliabilitySection();
  ReliabilitySection(const ReliabilitySection&) = delete;
  ReliabilitySection& operator=(const ReliabilitySection&) = delete;

  void paragraph(const std::string& text);
  // A table; cells may hold any text ("|" and line feeds are escaped).
  void table(const std::vector<std::string>& header,
             const std::vector<std::vector<std::string>>& rows);

 private:
  std::string fileName_;
  std::string text_;
};

}  // namespace testsupport

// Property: for any bytes used as a path, the command lines the installer builds make /bin/sh
// hand the program exactly those bytes, and run nothing else. Three starts are tried with random
// paths: words quoted with `shell_word`, the agent's start (`startInstallAgent`, with random
// user arguments too), and unzip's line (`unzipInstallAgent`, with a recording program in
// place of the tool).

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/shell.h"
#include "provisioning/agent_start.h"
#include "provisioning/unzip.h"
#include "support/message_log.h"
#include "support/reliability.h"
#include "support/scratch_dir.h"

namespace {

using testsupport::printable;
using testsupport::readFile;
using testsupport::ScopedEnv;

// Bytes that mean something to the shell, or to a program reading options, or are not UTF-8.
const std::string kTroubleBytes = " \t\n\r'\"$`\\;&|*?()[]{}<>~#!-=%^,:@+\x7f\x80\xa0\xc3\xfe\xff";

// Characters that need no quoting, and are so the easiest place for one that does to hide.
const std::string kOrdinaryBytes = "abcxyzABCXYZ0189/._-+,:@%= \t";

// Random path text, any byte but NUL, in one of three kinds: ordinary characters with one or
// two trouble bytes among them, an even mix, or bytes of any value. Without "/" when it must
// name one directory entry.
std::string randomText(std::mt19937_64& random, bool entryName) {
  std::uniform_int_distribution<int> length(1, 24);
  std::uniform_int_distribution<int> kind(0, 2);
  std::uniform_int_distribution<int> coin(0, 1);
  std::uniform_int_distribution<size_t> trouble(0, kTroubleBytes.size() - 1);
  std::uniform_int_distribution<size_t> ordinary(0, kOrdinaryBytes.size() - 1);
  std::uniform_int_distribution<int> anyByte(1, 255);
  std::string text;
  int n = length(random);
  switch (kind(random)) {
    case 0: {
      for (int k = 0; k < n; ++k) text += kOrdinaryBytes[ordinary(random)];
      std::uniform_int_distribution<int> at(0, n - 1);
      for (int k = 1 + coin(random); k > 0; --k) text[at(random)] = kTroubleBytes[trouble(random)];
      break;
    }
    case 1:
      for (int k = 0; k < n; ++k)
        text += coin(random) ? kTroubleBytes[trouble(random)] : kOrdinaryBytes[ordinary(random)];
      break;
    default:
      for (int k = 0; k < n; ++k) text += static_cast<char>(anyByte(random));
      break;
  }
  if (entryName) std::replace(text.begin(), text.end(), '/', '_');
  if (entryName && (text == "." || text == "..")) text += "_";
  return text;
}

// Commands written to look like a path; each would leave a file "canary" behind if it ran.
const std::vector<std::string> kCanaries = {
    "$(touch canary)",
    "`touch canary`",
    "; touch canary",
    "| touch canary",
    "& touch canary",
    "\ntouch canary",
    "' ; touch canary ; '",
    "\" ; touch canary ; \"",
    ">canary",
    "-c touch canary",
    "a$(touch${IFS}canary)",
    "x=`touch canary`",
    "$HOME",
    "~",
    "*",
    "a b",
    "\t",
};

// Makes `dir` the working directory for its lifetime, so that whatever a command line might
// run or redirect lands where the test can see it.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& dir) {
    char* previous = getcwd(nullptr, 0);
    if (previous != nullptr) previous_ = previous;
    free(previous);
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~ScopedWorkingDirectory() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }

 private:
  std::string previous_;
};

// The NUL-separated words of a record.
std::vector<std::string> words(const std::string& record) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = record.find('\0', start)) != std::string::npos; start = end + 1)
    result.push_back(record.substr(start, end - start));
  return result;
}

std::vector<std::string> printableWords(const std::vector<std::string>& list) {
  std::vector<std::string> result;
  for (const std::string& word : list) result.push_back(printable(word));
  return result;
}

class QuotingProperty : public testsupport::ScratchTest {
 protected:
  void SetUp() override {
    recordPath_ = scratch.file("record");
    // $0 and every argument, each ended by a NUL byte.
    recorder_ = scratch.writeFile("bin/record",
                                  "#!/bin/sh\nprintf '%s\\0' \"$0\" \"$@\" > \"$RECORD\"\n", 0755);
    scratch.makeDir("agents");
    scratch.makeDir("archives");
    scratch.makeDir("cwd");
    record_ = std::make_unique<ScopedEnv>("RECORD", recordPath_);
  }

  // What the last command handed the recording program ($0 first); empty when nothing ran.
  std::vector<std::string> recorded() {
    std::vector<std::string> result = words(readFile(recordPath_));
    unlink(recordPath_.c_str());
    return result;
  }

  std::string recordPath_;
  std::string recorder_;
  std::unique_ptr<ScopedEnv> record_;
};

TEST_F(QuotingProperty, ShellHandsEveryPathOnByteForByte) {
  const uint64_t seed = testsupport::reliabilitySeed();
  const int count = testsupport::reliabilityCount(150, 3000);
  std::mt19937_64 random(seed);
  int held[3] = {0, 0, 0};
  int tried = 0;

  ScopedWorkingDirectory cwd(scratch.file("cwd"));
  const int fixed = static_cast<int>(kCanaries.size());

  for (int i = 0; i < fixed + count; ++i) {
    // The canaries first, in every role, then random text.
    auto text = [&](bool entryName) {
      if (i >= fixed) return randomText(random, entryName);
      std::string canary = kCanaries[i];
      if (entryName) std::replace(canary.begin(), canary.end(), '/', '_');
      return canary;
    };
    std::string first = text(false);
    std::string second = text(false);
    std::string agentName = text(true);
    std::string bundleLocation = text(false);
    std::string archiveName = text(true);
    std::string destination = text(false);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(i) +
                 " (repeat with INSTALLER_RELIABILITY_SEED=" + std::to_string(seed) + ")");
    ++tried;

    // 1. Two quoted words.
    std::string line = shell_word(recorder_) + " " + shell_word(first) + " " + shell_word(second);
    int status = call_system(recorder_, line);
    std::vector<std::string> expected = {recorder_, first, second};
    std::vector<std::string> got = recorded();
    EXPECT_EQ(status, 0) << printable(line);
    EXPECT_EQ(printableWords(got), printableWords(expected)) << printable(line);
    if (status == 0 && got == expected) ++held[0];

    // 2. The agent's start: sh, the agent, "-installbundle", the bundle archive, the user's
    // arguments.
    std::string agent = scratch.path() + "/agents/" + agentName;
    testsupport::writeFile(agent, "printf '%s\\0' \"$0\" \"$@\" > \"$RECORD\"\n", 0644);
    status = startInstallAgent(agent, {bundleLocation, {first, second}}).wait();
    expected = {agent, "-installbundle", operand_path(bundleLocation + "/bundle.zip"), first,
                second};
    got = recorded();
    EXPECT_EQ(status, 0) << printable(agent);
    EXPECT_EQ(printableWords(got), printableWords(expected)) << printable(agent);
    if (status == 0 && got == expected) ++held[1];
    unlink(agent.c_str());

    // 3. unzip's line, the tool replaced by the recording program.
    std::string archive = scratch.path() + "/archives/" + archiveName;
    testsupport::writeFile(archive, "", 0644);
    testsupport::MessageLog log;
    bool unpacked = unzipInstallAgent(archive, destination, recorder_,
                                      testsupport::MessageLog::callback) == UnzipResult::Unpacked;
    expected = {recorder_, "-qq", "-o", "-P", "", archive, "-d", operand_path(destination)};
    got = recorded();
    EXPECT_TRUE(unpacked);
    EXPECT_EQ(printableWords(got), printableWords(expected));
    if (unpacked && got == expected) ++held[2];
    unlink(archive.c_str());

    // Nothing in a path ran as a command or redirected output: the working directory and
    // the scratch directory hold only what the test made.
    EXPECT_TRUE(testsupport::listDir(scratch.file("cwd")).empty());
    EXPECT_EQ(testsupport::listDir(scratch.path()),
              (std::vector<std::string>{"agents", "archives", "bin", "cwd"}));
    if (HasFailure()) break;
  }

  testsupport::ReliabilitySection section("80-quoting", "Quoting property");
  section.paragraph(
      "Random byte strings (1 to 24 bytes, any byte but NUL: characters that need no quoting "
      "with one or two of the shell's special characters, line feeds, a leading dash or bytes "
      "that are not UTF-8 among them; an even mix; or bytes of any value), "
      "after " +
      std::to_string(fixed) +
      " fixed canary commands, used as paths and arguments in the programs the installer "
      "starts; /bin/sh must hand the program "
      "exactly those bytes, and nothing may run that the line did not name. Seed " +
      std::to_string(seed) + ".");
  section.table(
      {"command line", "cases", "held"},
      {{"two words quoted with shell_word", std::to_string(tried), std::to_string(held[0])},
       {"the agent's start (sh, agent, -installbundle, archive, the user's arguments)",
        std::to_string(tried), std::to_string(held[1])},
       {"unzip's line (tool, -qq -o -P '', archive, -d, destination)", std::to_string(tried),
        std::to_string(held[2])}});
}

}  // namespace

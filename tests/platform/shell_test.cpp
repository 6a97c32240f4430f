#include "platform/shell.h"

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

using testsupport::readFile;
using testsupport::ScratchTest;

TEST(SmartQuote, QuotesExactlyTextsWithABlankOrATab) {
  EXPECT_EQ(smart_quote("install"), "install");
  EXPECT_EQ(smart_quote("two words"), "\"two words\"");
  EXPECT_EQ(smart_quote("left\tright"), "\"left\tright\"");
  EXPECT_EQ(smart_quote(""), "");
  EXPECT_EQ(smart_quote(" lead"), "\" lead\"");
  EXPECT_EQ(smart_quote("trail "), "\"trail \"");
  EXPECT_EQ(smart_quote("\t"), "\"\t\"");
}

TEST(SmartQuote, EscapesNothingInside) {
  EXPECT_EQ(smart_quote("say \"hello\" now"), "\"say \"hello\" now\"");
  EXPECT_EQ(smart_quote("\"two words\""), "\"\"two words\"\"");
  EXPECT_EQ(smart_quote("\"quoted\""), "\"quoted\"");
  EXPECT_EQ(smart_quote("$HOME/my files"), "\"$HOME/my files\"");
  EXPECT_EQ(smart_quote("first line\nsecond"), "\"first line\nsecond\"");
  EXPECT_EQ(smart_quote("one\ntwo"), "one\ntwo");
  EXPECT_EQ(smart_quote("a\\b$c`d"), "a\\b$c`d");
}

TEST(SmartQuote, TwiceWrapsTwice) { EXPECT_EQ(smart_quote(smart_quote("a b")), "\"\"a b\"\""); }

TEST(ShellWord, OrdinaryPathsGetSmartQuoteExactly) {
  for (const std::string path :
       {"/Applications/Setup.app/Contents/Resources/bundle.zip", "/Volumes/Setup Disk/x", "a\tb",
        "unzip", "/a-b_c.d+e,f:g@h%i=j", "relative/path", "0"}) {
    EXPECT_EQ(shell_word(path), smart_quote(path)) << path;
  }
}

TEST(ShellWord, OtherPathsAreSingleQuoted) {
  EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
  EXPECT_EQ(shell_word("$HOME"), "'$HOME'");
  EXPECT_EQ(shell_word("~/x"), "'~/x'");
  EXPECT_EQ(shell_word("-x"), "'-x'");
  EXPECT_EQ(shell_word("a\nb"), "'a\nb'");
  EXPECT_EQ(shell_word("caf\xc3\xa9"), "'caf\xc3\xa9'");
  EXPECT_EQ(shell_word(""), "''");
  EXPECT_EQ(shell_word("a b\"c"), "'a b\"c'");
}

// Runs `printf %s <word>` through the shell and returns what printf received.
static std::string echoThroughShell(const std::string& text, const std::string& out) {
  int status = call_system("printf", "printf %s " + shell_word(text) + " > " + shell_word(out));
  EXPECT_EQ(status, 0) << text;
  return readFile(out);
}

TEST_F(ScratchTest, ShellWordReachesTheProgramByteForByte) {
  const std::string canary = scratch.file("canary");
  const std::vector<std::string> texts = {
      "plain",
      "two  blanks\tand tab",
      "double\"quote",
      "single'quote",
      "dollar$HOME and ${HOME}",
      "back`touch " + canary + "`quote",
      "$(touch " + canary + ")",
      "back\\slash\\",
      "line\nfeed\n",
      "semi;touch " + canary + ";colon",
      "amp&touch " + canary + "&",
      "bar|touch " + canary,
      "star*and?[a]",
      "~tilde",
      "#hash",
      "bytes \xff\xfe\x80 not utf-8",
      "'",
      "''\"\"",
      "-leading-dash",
  };
  for (const std::string& text : texts)
    EXPECT_EQ(echoThroughShell(text, scratch.file("out")), text) << text;
  EXPECT_FALSE(testsupport::pathExists(canary));
}

TEST(CallSystem, ReturnsTheShellStatus) {
  EXPECT_EQ(call_system("anything", "exit 0"), 0);
  int status = call_system("sh", "exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  status = call_system("sh", "kill -TERM $$");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(CallSystem, MissingProgramGivesNonZero) {
  EXPECT_NE(call_system("no-such-program-here", "no-such-program-here 2>/dev/null"), 0);
}

TEST_F(ScratchTest, CallSystemRunsOnlyTheCommand) {
  std::string marker = scratch.file("ran");
  EXPECT_EQ(call_system("touch " + scratch.file("not-this"), "touch " + shell_word(marker)), 0);
  EXPECT_TRUE(testsupport::pathExists(marker));
  EXPECT_FALSE(testsupport::pathExists(scratch.file("not-this")));
}

TEST(OperandPath, KeepsARelativePathThatStartsWithADashFromBeingAnOption) {
  EXPECT_EQ(operand_path("-rf"), "./-rf");
  EXPECT_EQ(operand_path("-home/.vellum/x"), "./-home/.vellum/x");
  EXPECT_EQ(operand_path("/abs/-x"), "/abs/-x");
  EXPECT_EQ(operand_path("rel/-x"), "rel/-x");
  EXPECT_EQ(operand_path(""), "");
}

TEST(CallSystem, CommandThatStartsWithADashIsStillTheCommand) {
  int status = call_system("sh", "-x 2>/dev/null; exit 4");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST(CallSystem, CommandGetsNoBlockedSignalAndTheCallersStandardStreamsOnly) {
  // Signal 15 is not blocked, and no descriptor beyond 2 is passed on: the shell's own listing
  // of its descriptors takes 3. (A command substitution would race with the shell's pipe.)
  int status = call_system("sh",
                           "grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status && "
                           "for fd in /proc/$$/fd/*; do [ \"${fd##*/}\" -le 3 ] || exit 1; done");
  EXPECT_EQ(status, 0);
}

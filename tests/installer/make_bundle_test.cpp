// tools/make-bundle: the bundles it lays out, run with the real installer, and how it answers
// inputs that are missing or wrong.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/desktop.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/system_log.h"
#include "support/test_http_server.h"

namespace {

using namespace testsupport;

const std::string kTool = std::string(INSTALLER_SOURCE_DIR) + "/tools/make-bundle";

class MakeBundleTest : public ScratchTest {
 protected:
  void SetUp() override {
    out = scratch.makeDir("out");
    ASSERT_TRUE(makeZip(scratch.file("bundle.zip"), {{"product.txt", "the product"}}));
    ASSERT_TRUE(writeSplashPng(scratch.file("splash.png"), 64, 48));
  }

  RunResult makeBundle(std::vector<std::string> arguments, std::string workingDirectory = "") {
    arguments.insert(arguments.begin(), "make-bundle");
    RunOptions options;
    options.workingDirectory = std::move(workingDirectory);
    options.timeout = std::chrono::seconds(60);
    return runProgram(kTool, arguments, options);
  }

  // Runs an installer of a made bundle on the terminal, with a home of its own.
  RunResult runInstaller(const std::string& executable) {
    RunOptions options;
    options.setEnv = {{"HOME", scratch.makeDir("home")}};
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "VL_INTERNAL_INSTALL_AGENT_URL",
                        "__VL_BOOTSTRAP_INSTALLER_UNITTEST__"};
    options.timeout = std::chrono::seconds(60);
    return runProgram(executable, {"setup", "-x"}, options);
  }

  std::string out;
};

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

TEST_F(MakeBundleTest, LaysOutABundleWhoseInstallerDownloadsTheAgent) {
  TestHttpServer server;
  AgentScript agent{scratch.file("record"), 0, ""};
  ASSERT_TRUE(makeAgentZip(scratch.file("agent.zip"), agent));
  // The vendor's workflow: a key pair once, a signature for each release; here during a
  // rotation, with the retiring key still in the bundle.
  std::string key = scratch.file("installAgentKey.pub"), old = scratch.file("old.pub");
  ASSERT_EQ(system(("minisign -G -W -p " + old + " -s " + scratch.file("old.key") +
                    " >/dev/null && minisign -G -W -p " + key + " -s " +
                    scratch.file("secret.key") + " >/dev/null && minisign -Sm " +
                    scratch.file("agent.zip") + " -s " + scratch.file("secret.key") + " >/dev/null")
                       .c_str()),
            0);
  // Keys from other systems' editors: one file holds two, a line end of CR LF, a blank after.
  std::string both = scratch.writeFile("both.pub", readFile(old) + "\r\n" + readFile(key) + " ");
  Reply reply;
  reply.body = readFile(scratch.file("agent.zip"));
  reply.headers = {{"ETag", "\"1\""}};
  server.serve("/agent.zip", reply);
  reply.body = readFile(scratch.file("agent.zip.minisig"));
  server.serve("/agent.zip.minisig", reply);

  RunResult made = makeBundle({"--executable", installerExecutable(), "--url",
                               server.url("/agent.zip"), "--bundle-zip", scratch.file("bundle.zip"),
                               "--splash", scratch.file("splash.png"), "--signing-key", both,
                               "--signing-key", key, "--name", "My Setup", out});
  ASSERT_EQ(made.exitCode, 0) << made.describe();

  std::string bundle = out + "/My Setup.app";
  std::string executable = bundle + "/Contents/MacOS/bootstrap-installer";
  std::string resources = bundle + "/Contents/Resources";
  EXPECT_TRUE(isExecutableFile(executable)) << "a copy, not a link";
  EXPECT_EQ(readFile(executable), readFile(installerExecutable()));
  EXPECT_EQ(readFile(resources + "/installAgentURL.txt"), server.url("/agent.zip") + "\n");
  EXPECT_EQ(readFile(resources + "/bundle.zip"), readFile(scratch.file("bundle.zip")));
  EXPECT_EQ(readFile(resources + "/splash.png"), readFile(scratch.file("splash.png")));
  EXPECT_EQ(readFile(resources + "/installAgentKey.pub"),
            readFile(old) + readFile(key) + readFile(key));
  EXPECT_EQ(listDir(resources),
            (std::vector<std::string>{"bundle.zip", "installAgentKey.pub", "installAgentURL.txt",
                                      "locale", "splash.png"}));
  // The window's translations, from beside the executable.
  EXPECT_EQ(readFile(resources + "/locale/ja/LC_MESSAGES/bootstrap-installer.mo"),
            readFile(std::string(INSTALLER_BUILD_DIR) +
                     "/locale/ja/LC_MESSAGES/bootstrap-installer.mo"));
  EXPECT_EQ(listDir(out), std::vector<std::string>{"My Setup.app"});  // no leftovers
  EXPECT_NE(made.out.find(bundle), std::string::npos) << made.out;

  RunResult run = runInstaller(executable);
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  EXPECT_EQ(server.hits("/agent.zip.minisig"), 1) << "the signature was checked";
  std::vector<AgentRun> runs = readAgentRuns(agent.recordPath);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].arguments,
            (std::vector<std::string>{"-installbundle", resources + "/bundle.zip", "-x"}));
}

TEST_F(MakeBundleTest, CarriesAReadyAgentOrAnAgentArchive) {
  AgentScript ready{scratch.file("ready-record"), 0, ""};
  writeFile(scratch.file("ready.sh"), agentScript(ready));
  RunResult made =
      makeBundle({"--executable", installerExecutable(), "--bundle-zip", scratch.file("bundle.zip"),
                  "--agent", scratch.file("ready.sh"), "--name", "Ready", out});
  ASSERT_EQ(made.exitCode, 0) << made.describe();
  std::string resources = out + "/Ready.app/Contents/Resources";
  EXPECT_EQ(listDir(resources),
            (std::vector<std::string>{"InstallerForMac", "bundle.zip", "locale"}));
  EXPECT_EQ(runInstaller(out + "/Ready.app/Contents/MacOS/bootstrap-installer").exitCode, 0);
  EXPECT_EQ(readAgentRuns(ready.recordPath).size(), 1u);

  // Relative paths that start with "-" are paths all the same.
  AgentScript archived{scratch.file("archive-record"), 0, ""};
  ASSERT_TRUE(makeAgentZip(scratch.file("-agent.zip"), archived));
  made = makeBundle({"--executable", installerExecutable(), "--url=http://127.0.0.1:9/unused.zip",
                     "--bundle-zip", scratch.file("bundle.zip"), "--agent-zip", "-agent.zip",
                     "--name=Archived.app", "--", "-out"},
                    scratch.path());
  ASSERT_EQ(made.exitCode, 0) << made.describe();
  resources = scratch.file("-out/Archived.app/Contents/Resources");
  EXPECT_EQ(listDir(resources),
            (std::vector<std::string>{"InstallAgent.zip", "bundle.zip", "installAgentURL.txt",
                                      "locale"}));
  EXPECT_EQ(
      runInstaller(scratch.file("-out/Archived.app/Contents/MacOS/bootstrap-installer")).exitCode,
      0);
  EXPECT_EQ(readAgentRuns(archived.recordPath).size(), 1u);
}

TEST_F(MakeBundleTest, ListsEveryProblemWithItsInputsAndMakesNothing) {
  writeFile(scratch.file("not-a-zip.zip"), "plain text");
  writeFile(scratch.file("not-a-png.png"), "plain text");
  // A PNG's header that says 5000 x 5000 pixels.
  writeFile(scratch.file("huge.png"),
            std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x13\x88\0\0\x13\x88", 24));
  writeFile(scratch.file("not-executable"), "#!/bin/sh\n", 0644);
  ASSERT_TRUE(makeZip(scratch.file("no-install.zip"), {{"setup.sh", "echo"}}));

  RunResult result = makeBundle(
      {"--executable", scratch.file("not-executable"), "--url", "ftp://example.com/agent.zip",
       "--bundle-zip", scratch.file("not-a-zip.zip"), "--splash", scratch.file("not-a-png.png"),
       "--agent-zip", scratch.file("no-install.zip"), "--signing-key",
       scratch.file("not-a-png.png"), out});
  EXPECT_EQ(result.exitCode, 1) << result.describe();
  for (const char* expected :
       {"is not executable", "is not an http:// or https:// address", "is not a zip archive",
        "is not a PNG image", "has no file 'install' at its top level",
        "is not a minisign public key"}) {
    EXPECT_NE(result.err.find(expected), std::string::npos) << expected << "\n" << result.err;
  }
  EXPECT_TRUE(listDir(out).empty());
  result = makeBundle({"--url", "https://example.com/a.zip", "--bundle-zip",
                       scratch.file("bundle.zip"), "--splash", scratch.file("huge.png"), out});
  EXPECT_NE(result.err.find("is 5000 x 5000 pixels"), std::string::npos) << result.err;

  result = makeBundle({"--executable", scratch.file("missing"), out});
  EXPECT_EQ(result.exitCode, 1) << result.describe();
  for (const char* expected : {"does not exist", "no --url given", "no --bundle-zip given"}) {
    EXPECT_NE(result.err.find(expected), std::string::npos) << expected << "\n" << result.err;
  }

  result = makeBundle({"--executable", installerExecutable(), "--bundle-zip",
                       scratch.file("bundle.zip"), "--agent", scratch.file("bundle.zip"),
                       "--agent-zip", scratch.file("bundle.zip"), "--name", "a/b", out});
  EXPECT_EQ(result.exitCode, 1) << result.describe();
  for (const char* expected : {"exclude each other", "is not a script", "not a plain file name"}) {
    EXPECT_NE(result.err.find(expected), std::string::npos) << expected << "\n" << result.err;
  }

  result = makeBundle({"--executable", installerExecutable(), "--url", "http://127.0.0.1/a b.zip",
                       "--bundle-zip", scratch.file("bundle.zip"), out});
  EXPECT_EQ(result.exitCode, 1) << result.describe();
  EXPECT_NE(result.err.find("holds blanks or control characters"), std::string::npos) << result.err;
  EXPECT_TRUE(listDir(out).empty());
}

TEST_F(MakeBundleTest, RejectsUsageErrorsAndExplainsItsOptions) {
  RunResult result = makeBundle({});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("no output directory given"), std::string::npos) << result.err;

  result = makeBundle({"--colour", "blue", out});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("unknown option '--colour'"), std::string::npos) << result.err;

  result = makeBundle({out, "--url"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("--url needs a value"), std::string::npos) << result.err;

  result = makeBundle({out, scratch.path()});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("one output directory only"), std::string::npos) << result.err;

  result = makeBundle({"--help"});
  EXPECT_EQ(result.exitCode, 0);
  for (const char* option : {"--url", "--bundle-zip", "--splash", "--agent ", "--agent-zip",
                             "--executable", "--name", "--force", "installAgentURL.txt"}) {
    EXPECT_NE(result.out.find(option), std::string::npos) << option;
  }
}

TEST_F(MakeBundleTest, ReplacesAnExistingBundleOnlyWithForce) {
  std::vector<std::string> arguments = {
      "--executable", installerExecutable(),      "--url", "https://example.com/agent.zip",
      "--bundle-zip", scratch.file("bundle.zip"), out};
  ASSERT_EQ(makeBundle(arguments).exitCode, 0);
  std::string resources = out + "/Installer.app/Contents/Resources";
  writeFile(resources + "/left-over", "old");

  RunResult again = makeBundle(arguments);
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already exists (add --force to replace it)"), std::string::npos)
      << again.err;
  EXPECT_TRUE(pathExists(resources + "/left-over"));

  arguments.insert(arguments.begin(), "--force");
  arguments.insert(arguments.end() - 1, {"--splash", scratch.file("splash.png")});
  RunResult forced = makeBundle(arguments);
  EXPECT_EQ(forced.exitCode, 0) << forced.describe();
  EXPECT_EQ(listDir(resources), (std::vector<std::string>{"bundle.zip", "installAgentURL.txt",
                                                          "locale", "splash.png"}));
  EXPECT_EQ(listDir(out), std::vector<std::string>{"Installer.app"});
}

// The bundle as one file (--run): run with sh or as a program, it hands the installer every
// argument as it is, passes the exit status through, runs nothing when damaged, and leaves
// nothing behind, also after a signal.
class RunFileTest : public MakeBundleTest {
 protected:
  // Makes out/Setup.run downloading from `url`.
  std::string makeRunFile(const std::string& url) {
    RunResult made = makeBundle({"--executable", installerExecutable(), "--url", url,
                                 "--bundle-zip", scratch.file("bundle.zip"), "--name", "Setup",
                                 "--run", out + "/Setup.run", out});
    EXPECT_EQ(made.exitCode, 0) << made.describe();
    return out + "/Setup.run";
  }

  RunOptions options() {
    RunOptions options;
    options.setEnv = {{"HOME", scratch.makeDir("home")}, {"TMPDIR", tmp}};
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "VL_INTERNAL_INSTALL_AGENT_URL"};
    return options;
  }

  // Whether the unpacked copy in `dir` is gone (its remover may take a moment after the run).
  static bool nothingLeft(const std::string& dir) {
    for (int i = 0; i < 50 && !listDir(dir).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return listDir(dir).empty();
  }

  std::string tmp = scratch.makeDir("tmp");
};

TEST_F(RunFileTest, RunsTheInstallerWithTheArgumentsAsTheyAreAndPassesItsStatusOn) {
  TestHttpServer server;
  ASSERT_TRUE(makeAgentZip(scratch.file("agent.zip"),
                           {scratch.file("record"), 0, "umask > '" + scratch.file("umask") + "'"}));
  Reply reply;
  reply.body = readFile(scratch.file("agent.zip"));
  reply.headers = {{"ETag", "\"1\""}};
  server.serve("/agent.zip", reply);
  std::string run = makeRunFile(server.url("/agent.zip"));
  const mode_t mask = umask(022);
  const std::vector<std::string> hostile = {"My Apps", "it's", "$(touch canary)", "-mode",
                                            "--help",  "",     "line\nfeed"};

  std::vector<std::string> argv = {"sh", run};
  argv.insert(argv.end(), hostile.begin(), hostile.end());
  RunResult result = runProgram("sh", argv, options());
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(testsupport::splitConsole(result.err).other, std::vector<std::string>{});
  std::vector<AgentRun> runs = readAgentRuns(scratch.file("record"));
  ASSERT_EQ(runs.size(), 1u);
  std::vector<std::string> words(runs[0].arguments.begin() + 2, runs[0].arguments.end());
  EXPECT_EQ(words, hostile);
  EXPECT_EQ(runs[0].arguments[1].rfind(tmp + "/installer.", 0), 0u) << runs[0].arguments[1];
  EXPECT_FALSE(pathExists(scratch.file("canary")));
  EXPECT_TRUE(nothingLeft(tmp));
  EXPECT_EQ(readFile(scratch.file("umask")), "0022\n");  // the user's, not the private copy's
  umask(mask);

  // Where TMPDIR is noexec or full, the copy and the installer's own directory go elsewhere.
  for (const char* mount : {"-o noexec none \"$TMPDIR\"",
                            "-o size=64k none \"$TMPDIR\" && ! cat /dev/zero >\"$TMPDIR/f\""}) {
    if (runProgram("unshare", {"unshare", "-m", "true"}).exitCode != 0) break;
    result = runProgram("unshare",
                        {"unshare", "-m", "sh", "-c",
                         "mount -t tmpfs " + std::string(mount) + " && exec sh \"$0\" last", run},
                        options());
    EXPECT_EQ(result.exitCode, 0) << mount << result.describe();
    runs = readAgentRuns(scratch.file("record"));
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs.back().arguments[1].rfind("/tmp/installer.", 0), 0u) << runs.back().arguments[1];
    EXPECT_TRUE(
        nothingLeft(runs.back().arguments[1].substr(0, runs.back().arguments[1].find('/', 5))));
  }

  // The end of a process namespace (a container's) takes the remover with it: the copy is gone
  // all the same.
  if (runProgram("unshare", {"unshare", "-p", "-f", "true"}).exitCode == 0) {
    result = runProgram("unshare", {"unshare", "-p", "-f", "--mount-proc", "sh", run}, options());
    EXPECT_EQ(result.exitCode, 0) << result.describe();
    EXPECT_TRUE(listDir(tmp).empty());
  }

  // Where another user could rename the unpacked copy, it goes elsewhere.
  chmod(tmp.c_str(), 0777);
  result = runProgram(run, {run}, options());
  chmod(tmp.c_str(), 0700);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  runs = readAgentRuns(scratch.file("record"));
  EXPECT_EQ(runs.back().arguments[1].rfind("/tmp/installer.", 0), 0u) << runs.back().arguments[1];

  // Where no named pipe can be made, the copy stays while the installer runs, and goes after.
  std::string bin = scratch.makeDir("no-fifo");
  scratch.writeFile("no-fifo/mkfifo", "#!/bin/sh\nexit 1\n", 0755);
  RunOptions noFifo = options();
  noFifo.setEnv.push_back({"PATH", bin + ":" + getenv("PATH")});
  result = runProgram(run, {run}, noFifo);
  EXPECT_EQ(result.exitCode, 0) << result.describe();
  EXPECT_EQ(readAgentRuns(scratch.file("record")).size(), runs.size() + 1);
  EXPECT_TRUE(nothingLeft(tmp));

  // As a program, with the installer's failure status.
  Reply notFound;
  notFound.status = 404;
  server.serve("/agent.zip", notFound);
  result = runProgram(run, {run}, options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(splitLines(result.err).back(), "Installation failed.");
  EXPECT_TRUE(nothingLeft(tmp));
  // Named with a leading dash, and run as "sh -- -Setup.run": still the installer's own end.
  std::filesystem::copy_file(run, scratch.file("-Setup.run"));
  result = runProgram("sh", {"sh", "-c", "cd \"$0\" && exec sh -- -Setup.run", scratch.path()},
                      options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(result.err.find("damaged"), std::string::npos) << result.err;
  EXPECT_TRUE(nothingLeft(tmp));
}

TEST_F(RunFileTest, AFileThatCannotRunHereSaysSoAndRunsNothing) {
  std::string run = makeRunFile("http://127.0.0.1:9/agent.zip");
  // Read from a pipe, it has no file to unpack from.
  RunResult result = runProgram("sh", {"sh", "-c", "cat \"$0\" | sh", run}, options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_NE(result.err.find("cannot run from a pipe"), std::string::npos) << result.err;
  std::string bytes = readFile(run);
  bytes[bytes.size() - 100] ^= 0x20;
  writeFile(run, bytes, 0755);
  result = runProgram(run, {run}, options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_NE(result.err.find(run + " is damaged"), std::string::npos) << result.err;
  EXPECT_TRUE(listDir(tmp).empty());
  // Cut short within its header, where sh would run the lines that came through.
  writeFile(run, bytes.substr(0, 700), 0755);
  result = runProgram(run, {run}, options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_NE(result.err.find(run + " is damaged"), std::string::npos) << result.err;
#if defined(__x86_64__)
  // Made of an arm64 installer (its ELF header's first 20 bytes), it says so in one line, where
  // the shell would say "Exec format error".
  std::string arm64 = scratch.file("arm64-installer");
  writeFile(arm64, std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(11, '\0') + "\xb7", 0755);
  RunResult made = makeBundle({"--executable", arm64, "--url", "http://127.0.0.1:9/agent.zip",
                               "--bundle-zip", scratch.file("bundle.zip"), "--name", "Setup",
                               "--run", run, "--force", out});
  ASSERT_EQ(made.exitCode, 0) << made.describe();
  result = runProgram(run, {run}, options());
  EXPECT_EQ(result.exitCode, 255) << result.describe();
  EXPECT_EQ(result.err,
            "Setup is made for arm64 computers and cannot run on this one (x86-64). Nothing was "
            "run.\n");
  EXPECT_TRUE(listDir(tmp).empty());
#endif

  // Made on a disk that fills up, it is not made at all (makeself would say it was).
  if (runProgram("unshare", {"unshare", "-m", "true"}).exitCode != 0) return;
  std::string full = scratch.makeDir("full");
  result = runProgram(
      "unshare",
      {"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=1m none \"$0\" && exec \"$@\"", full,
       kTool, "--executable", installerExecutable(), "--url", "http://127.0.0.1:9/agent.zip",
       "--bundle-zip", scratch.file("bundle.zip"), "--run", full + "/Setup.run", out});
  EXPECT_EQ(result.exitCode, 1) << result.describe();
  EXPECT_NE(result.err.find("could not be written whole"), std::string::npos) << result.err;
  EXPECT_TRUE(listDir(full).empty());
}

TEST_F(RunFileTest, ASignalMidDownloadReachesTheInstallerAndNothingIsLeft) {
  TestHttpServer server;
  Reply reply;
  reply.body = std::string(100000, 'x');
  reply.headers = {{"ETag", "\"1\""}};
  reply.stallAfter = 1000;
  server.serve("/agent.zip", reply);
  std::string run = makeRunFile(server.url("/agent.zip"));
  for (int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    int hits = server.hits("/agent.zip");
    std::unique_ptr<RunningProgram> running = startProgram(run, {run}, options());
    for (int i = 0; i < 500 && server.hits("/agent.zip") == hits; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    running->signal(signal, /*toGroup=*/true);  // as a terminal or a session manager does
    RunResult result = running->finish();
    EXPECT_EQ(result.exitCode, 255) << result.describe();
    EXPECT_EQ(splitLines(result.err).back(), "Installation failed.");
    EXPECT_TRUE(nothingLeft(tmp));
  }
  server.releaseStalls();
}

TEST_F(RunFileTest, AnInterruptedUnpackLeavesNothingAndSaysSo) {
  // A payload large enough that the unpack is still going when the signal comes.
  std::string ballast(32 << 20, '\0');
  std::mt19937_64 random(7);
  for (size_t i = 0; i + 8 <= ballast.size(); i += 8) {
    uint64_t word = random();
    memcpy(&ballast[i], &word, 8);
  }
  ASSERT_TRUE(makeZip(scratch.file("bundle.zip"), {{"ballast.bin", ballast}}));
  std::string run = makeRunFile("http://127.0.0.1:9/agent.zip");
  std::unique_ptr<RunningProgram> running = startProgram(run, {run}, options());
  for (int i = 0; i < 5000 && listDir(tmp).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  running->signal(SIGINT, /*toGroup=*/true);
  RunResult result = running->finish();
  EXPECT_EQ(result.exitCode, 130) << result.describe();
  EXPECT_NE(result.err.find("Setup was interrupted before the installer started"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(nothingLeft(tmp));
}

}  // namespace

// Hostile paths: a bundle location, HOME and TMPDIR holding, one at a time, each character
// that the shell or a program could take for something else (blank, tab, " ' $ ` \ ; & | * ?
// ( ), a line feed, a leading dash, bytes that are not UTF-8) and a string of canary
// commands, on both roads: a carried agent archive (unpacked into the temporary directory) and
// a download (into the cache below HOME). The agent must receive every path byte for byte, and
// no canary command may ever run.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bundle_builder.h"
#include "support/download_fixture.h"
#include "support/reliability.h"
#include "support/test_http_server.h"

namespace {

using testsupport::AgentRun;
using testsupport::BundleBuilder;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TestHttpServer;

struct Hostile {
  std::string name;
  std::string text;  // a path component
};

const std::vector<Hostile> kHostile = {
    {"blank", "a b"},
    {"tab", "a\tb"},
    {"double quote", "a\"b"},
    {"single quote", "a'b"},
    {"dollar", "a$HOMEb${PATH}"},
    {"backquote", "a`b"},
    {"backslash", "a\\b\\"},
    {"semicolon", "a;b"},
    {"ampersand", "a&b"},
    {"bar", "a|b"},
    {"star", "a*"},
    {"question mark", "a?"},
    {"opening parenthesis", "a(b"},
    {"closing parenthesis", "a)b"},
    {"line feed", "a\nb"},
    {"leading dash", "-a b"},
    {"not UTF-8",
     "a\xff\xfe\x80"
     "b"},
    {"canary commands",
     "`touch canary`$(touch canary);touch canary&touch canary|touch canary\ntouch canary"},
};

enum class Place { kBundle, kHome, kTmpdir };
enum class Road { kCarried, kDownload };

class HostileMatrix : public testsupport::DownloadRunTest {};

TEST_F(HostileMatrix, AgentGetsEveryPathByteForByteAndNoCanaryRuns) {
  TestHttpServer server;
  const std::vector<std::pair<Place, std::string>> places = {
      {Place::kBundle, "bundle location"}, {Place::kHome, "HOME"}, {Place::kTmpdir, "TMPDIR"}};
  const std::vector<std::pair<Road, std::string>> roads = {{Road::kCarried, "carried archive"},
                                                           {Road::kDownload, "download"}};
  std::vector<std::vector<std::string>> rows;
  int cases = 0, held = 0;
  std::vector<double> times;
  int serial = 0;

  for (const Hostile& hostile : kHostile) {
    std::vector<std::string> row = {hostile.name, testsupport::printable(hostile.text)};
    for (const auto& [place, placeName] : places) {
      for (const auto& [road, roadName] : roads) {
        SCOPED_TRACE(hostile.name + " in " + placeName + ", " + roadName);
        ++cases;
        std::string run = "run" + std::to_string(serial++);
        scratch.makeDir(run);
        RunOptions options = installerOptions();
        options.workingDirectory = scratch.file(run);
        // A leading dash only shows in a relative path, taken from the working directory.
        bool relative = hostile.text[0] == '-';
        std::string bundleParent = scratch.makeDir(run + "/bundles");
        std::string home = scratch.makeDir(run + "/home");
        std::string tmp = scratch.makeDir(run + "/tmp");
        std::string homeValue = home, tmpValue = tmp;
        if (place == Place::kBundle) {
          bundleParent = scratch.makeDir(run + "/bundles/" + hostile.text);
        } else {
          std::string absolute = scratch.makeDir(run + "/" + hostile.text);
          std::string value = relative ? hostile.text : absolute;
          (place == Place::kHome ? home : tmp) = absolute;
          (place == Place::kHome ? homeValue : tmpValue) = value;
        }
        options.setEnv.push_back({"HOME", homeValue});
        options.setEnv.push_back({"TMPDIR", tmpValue});
        BundleBuilder bundle(bundleParent, place == Place::kBundle ? hostile.text : "Setup");
        std::string record = scratch.file(run + "-record");
        if (road == Road::kCarried) {
          bundle.addAgentArchive("InstallAgent.zip", {record, 0, ""});
        } else {
          bundle.addBundleZip();
          server.serve("/" + run + ".zip",
                       archiveReply(agentArchive(0, record), "\"" + run + "\""));
          bundle.setEndpointFile(server.url("/" + run + ".zip") + "\n");
        }

        auto start = std::chrono::steady_clock::now();
        RunResult result = runInstaller(bundle, {"Setup", "plain"}, options);
        times.push_back(testsupport::millisecondsSince(start));

        std::vector<AgentRun> runs = testsupport::readAgentRuns(record);
        // A relative HOME gives a relative cache; its entry file gets "./" in front, so that sh
        // cannot take it for an option.
        std::string cacheBase = relative && place == Place::kHome ? "./" + hostile.text : home;
        std::string expectedProgram =
            road == Road::kDownload
                ? cacheBase + "/.vellum/app_installer_cache/Q7312m/x64osx/installagent/install"
                : "";
        bool ok = result.exited && result.exitCode == 0 && runs.size() == 1;
        if (runs.size() == 1) {
          ok = ok && runs[0].arguments ==
                         std::vector<std::string>{"-installbundle",
                                                  bundle.resourcesPath() + "/bundle.zip", "plain"};
          if (road == Road::kDownload) {
            ok = ok && runs[0].program == expectedProgram;
          } else {
            // The temporary directory's entry file: "<TMPDIR>/vlXXXXXX/install".
            std::string prefix = tmp + "/vl";
            ok = ok && runs[0].program.compare(0, prefix.size(), prefix) == 0 &&
                 runs[0].program.size() == prefix.size() + 6 + 8;
          }
        }
        // No canary anywhere: not in the working directory, nor where the shell might cd.
        bool canary = testsupport::pathExists(scratch.file(run + "/canary")) ||
                      testsupport::pathExists(scratch.file("canary"));
        ok = ok && !canary && testsupport::listDir(tmp).empty();
        EXPECT_TRUE(ok) << result.describe() << "\nagent starts: " << runs.size()
                        << (runs.empty() ? ""
                                         : "\nprogram: " + testsupport::printable(runs[0].program))
                        << "\nexpected: " << testsupport::printable(expectedProgram)
                        << (canary ? "\nA CANARY RAN" : "");
        if (ok) ++held;
        row.push_back(ok ? "held" : "FAILED");
      }
    }
    rows.push_back(row);
  }

  testsupport::ReliabilitySection section("60-hostile-paths", "Hostile paths");
  section.paragraph(
      "Each character class in a path component of the bundle location, of HOME and of "
      "TMPDIR (one place at a time; a leading dash as a relative HOME or TMPDIR, taken from the "
      "working directory), on the carried-archive road and on the download road. A run holds "
      "when it ends with 0, the agent received its entry path, \"-installbundle\", the bundle "
      "archive's path and the user's argument byte for byte, no canary command ran, and the "
      "temporary directory is gone. " +
      std::to_string(held) + " of " + std::to_string(cases) + " runs held; run time " +
      testsupport::describeTimes(times) + " ms (min / median / max).");
  section.table({"class", "component", "bundle, carried", "bundle, download", "HOME, carried",
                 "HOME, download", "TMPDIR, carried", "TMPDIR, download"},
                rows);
}

}  // namespace

#include "support/bundle_builder.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// `text` as one sh word, taken literally.
std::string shellLiteral(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::string agentScript(const AgentScript& agent) {
  std::string script = "#!/bin/sh\n";
  script += "# Test agent: records its start, then exits with a chosen status.\n";
  script += "printf '%s\\0' \"$#\" \"$0\" \"$@\" >> " + shellLiteral(agent.recordPath) + "\n";
  if (!agent.extraShell.empty()) script += agent.extraShell + "\n";
  script += "exit " + std::to_string(agent.exitStatus) + "\n";
  return script;
}

std::vector<AgentRun> readAgentRuns(const std::string& recordPath) {
  std::string record = readFile(recordPath);
  std::vector<std::string> words;
  size_t start = 0;
  while (start < record.size()) {
    size_t end = record.find('\0', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "agent record ends without a separator: " << recordPath;
      break;
    }
    words.push_back(record.substr(start, end - start));
    start = end + 1;
  }
  std::vector<AgentRun> runs;
  for (size_t i = 0; i < words.size();) {
    size_t count = 0;
    try {
      count = std::stoul(words[i]);
    } catch (const std::exception&) {
      ADD_FAILURE() << "agent record is damaged: " << recordPath;
      break;
    }
    if (i + 2 + count > words.size()) {
      ADD_FAILURE() << "agent record is cut short: " << recordPath;
      break;
    }
    AgentRun run;
    run.program = words[i + 1];
    run.arguments.assign(words.begin() + i + 2, words.begin() + i + 2 + count);
    runs.push_back(run);
    i += 2 + count;
  }
  return runs;
}

bool makeZip(const std::string& archivePath, const std::map<std::string, std::string>& files) {
  ScratchDir staging;
  for (const auto& [name, content] : files) {
    if (!name.empty() && name.back() == '/')
      staging.makeDir(name);
    else
      staging.writeFile(name, content, 0644);
  }
  std::error_code ec;
  std::string absolute = fs::absolute(archivePath, ec).string();
  fs::remove(absolute, ec);
  RunOptions options;
  options.workingDirectory = staging.path();
  options.timeout = std::chrono::seconds(30);
  // -X: no extra attributes; -r: with subdirectories; "." keeps names relative.
  RunResult result = runProgram("zip", {"zip", "-q", "-X", "-r", absolute, "."}, options);
  if (!result.exited || result.exitCode != 0) {
    ADD_FAILURE() << "zip failed for " << archivePath << ": " << result.describe();
    return false;
  }
  return true;
}

bool makeAgentZip(const std::string& archivePath, const AgentScript& agent,
                  const std::map<std::string, std::string>& extraFiles) {
  std::map<std::string, std::string> files = extraFiles;
  files["install"] = agentScript(agent);
  return makeZip(archivePath, files);
}

std::string installerExecutable() {
  const char* underTest = getenv("INSTALLER_UNDER_TEST");  // the portable build, say
  return underTest != nullptr && *underTest != '\0' ? underTest : INSTALLER_EXECUTABLE;
}

BundleBuilder::BundleBuilder(const std::string& parentDir, const std::string& name,
                             const std::string& executableName, const std::string& executable,
                             bool withResources) {
  bundlePath_ = parentDir + "/" + name + ".app";
  std::string macos = bundlePath_ + "/Contents/MacOS";
  executablePath_ = macos + "/" + executableName;
  resourcesPath_ = bundlePath_ + "/Contents/Resources";
  std::error_code ec;
  fs::create_directories(macos, ec);
  if (ec) ADD_FAILURE() << "cannot make " << macos << ": " << ec.message();
  fs::copy_file(executable, executablePath_, fs::copy_options::overwrite_existing, ec);
  if (ec) ADD_FAILURE() << "cannot copy " << executable << ": " << ec.message();
  chmod(executablePath_.c_str(), 0755);
  if (withResources) {
    fs::create_directories(resourcesPath_, ec);
    if (ec) ADD_FAILURE() << "cannot make " << resourcesPath_ << ": " << ec.message();
  }
}

std::string BundleBuilder::addResource(const std::string& name, const std::string& content,
                                       mode_t mode) const {
  std::string path = resourcesPath_ + "/" + name;
  writeFile(path, content, mode);
  return path;
}

std::string BundleBuilder::setEndpointFile(const std::string& content) const {
  return addResource("installAgentURL.txt", content);
}

std::string BundleBuilder::addBundleZip() const {
  std::string path = resourcesPath_ + "/bundle.zip";
  makeZip(path, {{"payload.txt", "the product's payload\n"}});
  return path;
}

std::string BundleBuilder::addCatalogues() const {
  std::string path = resourcesPath_ + "/locale";
  std::error_code error;
  std::filesystem::copy(std::string(INSTALLER_BUILD_DIR) + "/locale", path,
                        std::filesystem::copy_options::recursive, error);
  EXPECT_FALSE(error) << error.message();
  return path;
}

std::string BundleBuilder::addReadyAgent(const AgentScript& agent) const {
  return addResource("InstallerForMac", agentScript(agent), 0644);
}

std::string BundleBuilder::addAgentArchive(
    const std::string& archiveName, const AgentScript& agent,
    const std::map<std::string, std::string>& extraFiles) const {
  std::string path = resourcesPath_ + "/" + archiveName;
  makeAgentZip(path, agent, extraFiles);
  return path;
}

}  // namespace testsupport

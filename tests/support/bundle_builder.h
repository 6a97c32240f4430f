// Building installer bundles and install agents for end-to-end tests.
//
// `BundleBuilder` lays out "<parent>/<Name>.app" with a COPY of the built installer at
// Contents/MacOS/<executable> (a symbolic link would not do: /proc/self/exe resolves it, so
// the installer would not find itself inside the bundle) and the resource directory
// Contents/Resources, then lets a test add resources: the endpoint URL file, "bundle.zip", a
// ready agent "InstallerForMac", agent archives.
//
// A test agent is a small sh script (`agentScript`) that appends what it received to a record
// file and exits with a chosen status. `readAgentRuns` reads the record back: one `AgentRun`
// per start of the agent, with $0 and every argument word exactly as received (any bytes; the
// record separates words with NUL bytes).
//
// Example:
//   BundleBuilder bundle(scratch.path(), "Setup");
//   AgentScript agent{scratch.file("record"), 0};
//   bundle.addAgentArchive("InstallAgent.zip", agent);
//   RunResult result = runProgram(bundle.executablePath(), {"Setup", "-x"}, options);
//   std::vector<AgentRun> runs = readAgentRuns(agent.recordPath);
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// What a test agent does when it runs.
struct AgentScript {
  std::string recordPath;  // where it appends its start; must be an absolute path
  int exitStatus = 0;      // its exit status
  std::string extraShell;  // more sh lines, run after recording and before exiting
};

// The sh text of a test agent.
std::string agentScript(const AgentScript& agent);

// One start of a test agent: $0 and the argument words, as the agent received them.
struct AgentRun {
  std::string program;
  std::vector<std::string> arguments;
};

// Every start recorded in `recordPath`, in order; empty when the agent never ran.
std::vector<AgentRun> readAgentRuns(const std::string& recordPath);

// Makes the zip archive `archivePath` holding `files` (name -> content; names may hold "/"
// for subdirectories; a name ending in "/" makes an empty directory) with the real `zip`
// tool. Entry files get mode 0644. True on success.
bool makeZip(const std::string& archivePath, const std::map<std::string, std::string>& files);

// A zip archive holding the test agent as its entry file "install", plus `extraFiles`.
bool makeAgentZip(const std::string& archivePath, const AgentScript& agent,
                  const std::map<std::string, std::string>& extraFiles = {});

// The built installer that bundles copy by default.
// The installer under test: INSTALLER_UNDER_TEST when set (tools/distro-matrix sets it to the
// portable build for the window tests), else the one this build made.
std::string installerExecutable();

class BundleBuilder {
 public:
  // Lays out "<parentDir>/<name>.app": Contents/MacOS/<executableName> copied from
  // `executable` (mode 0755) and, when `withResources`, an empty Contents/Resources.
  explicit BundleBuilder(const std::string& parentDir, const std::string& name = "Setup",
                         const std::string& executableName = "setup",
                         const std::string& executable = installerExecutable(),
                         bool withResources = true);

  const std::string& bundlePath() const { return bundlePath_; }          // ".../Setup.app"
  const std::string& executablePath() const { return executablePath_; }  // the copied installer
  const std::string& resourcesPath() const { return resourcesPath_; }    // ".../Resources"

  // Writes a resource file and returns its path.
  std::string addResource(const std::string& name, const std::string& content,
                          mode_t mode = 0644) const;
  // "installAgentURL.txt" holding exactly `content`.
  std::string setEndpointFile(const std::string& content) const;
  // "bundle.zip": a small real archive (the installer never opens it).
  std::string addBundleZip() const;
  // "locale": the download window's translations, as the build made them.
  std::string addCatalogues() const;
  // "InstallerForMac": the test agent as a ready agent (mode 0644: sh needs no execute bit).
  std::string addReadyAgent(const AgentScript& agent) const;
  // An agent archive named `archiveName` ("InstallAgent.zip", "InstallAgent_1.zip", ...).
  std::string addAgentArchive(const std::string& archiveName, const AgentScript& agent,
                              const std::map<std::string, std::string>& extraFiles = {}) const;

 private:
  std::string bundlePath_;
  std::string executablePath_;
  std::string resourcesPath_;
};

}  // namespace testsupport

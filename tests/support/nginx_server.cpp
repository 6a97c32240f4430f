#include "support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "support/run_program.h"
#include "support/test_http_server.h"

extern char** environ;

namespace testsupport {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

pid_t spawn(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

}  // namespace

NginxServer::NginxServer(const std::string& root, NginxOptions options) : options_(options) {
  if (prefix_.path().empty()) return;
  prefix_.makeDir("temp");
  if (options_.tls) {
    certificate_ = prefix_.file("certificate.pem");
    RunResult openssl =
        runProgram("/usr/bin/openssl", {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                        "-days", "2", "-subj", "/CN=localhost", "-addext",
                                        "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                                        prefix_.file("key.pem"), "-out", certificate_});
    if (!openssl.exited || openssl.exitCode != 0) {
      ADD_FAILURE() << "openssl could not make a test certificate: " << openssl.describe();
      certificate_.clear();
      return;
    }
  }
  std::string configuration = readFile(INSTALLER_SOURCE_DIR "/tools/lib/nginx.conf.in");
  if (configuration.empty()) {
    ADD_FAILURE() << "no nginx configuration in tools/lib/nginx.conf.in";
    return;
  }
  // Another process may take the free port before nginx binds it: try a few.
  for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) startOnce(root, configuration);
  if (pid_ <= 0) ADD_FAILURE() << "nginx did not start:\n" << errorLog();
}

NginxServer::~NginxServer() { stop(); }

bool NginxServer::startOnce(const std::string& root, std::string configuration) {
  port_ = unusedLoopbackPort();
  if (port_ <= 0) return false;
  const std::string p = prefix_.path();
  std::string certificate;
  if (options_.tls)
    certificate = "ssl_certificate " + certificate_ + "; ssl_certificate_key " + p + "/key.pem;";
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"@PREFIX@", p},
           {"@PORT@", std::to_string(port_)},
           {"@LISTEN_OPTIONS@", options_.tls ? "ssl http2" : ""},
           {"@ROOT@", root},
           {"@ACCESS_LOG_FORMAT@", "$server_protocol $status $uri"},
           {"@SERVER_DIRECTIVES@", certificate + options_.serverDirectives}}) {
    for (size_t at = configuration.find(name); at != std::string::npos;
         at = configuration.find(name, at + value.size()))
      configuration.replace(at, name.size(), value);
  }
  prefix_.writeFile("nginx.conf", configuration);
  pid_t pid = spawn({kNginx, "-e", p + "/error.log", "-p", p + "/", "-c", p + "/nginx.conf"});
  if (pid <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;  // it gave up (port taken?)
    if (accepts(port_)) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitFor(pid);
  return false;
}

void NginxServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);  // fast shutdown
  for (int i = 0; i < 250; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitFor(pid_);
  pid_ = -1;
}

std::string NginxServer::url(const std::string& path) const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         path;
}

std::string NginxServer::accessLog(size_t requests) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string log = readFile(prefix_.file("access.log"));
  while (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) < requests &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log = readFile(prefix_.file("access.log"));
  }
  return log;
}

std::string NginxServer::errorLog() const { return readFile(prefix_.file("error.log")); }

}  // namespace testsupport

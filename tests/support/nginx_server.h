// A real production web server (the system's nginx) on loopback, for end-to-end tests.
//
// `NginxServer` starts /usr/sbin/nginx as a child in the foreground, with a prefix of its own
// in a private scratch directory and the configuration the tools use too
// (tools/lib/nginx.conf.in), listening on 127.0.0.1 at a free port and serving the files of
// `root` as they are, with nginx's own "ETag" and Content-Length. With `tls`, it speaks
// HTTPS, offers HTTP/2, and uses a self-signed certificate for 127.0.0.1 and localhost whose
// file a test can trust through SSL_CERT_FILE. The constructor returns once the port accepts
// connections; the destructor stops nginx and waits for it.
//
// Each request goes into the access log as "<protocol> <status> <uri>" (e.g.
// "HTTP/2.0 200 /agent.zip"), which `accessLog` returns.
//
// Example:
//   NginxServer nginx(scratch.path());
//   ASSERT_TRUE(nginx.started()) << nginx.errorLog();
//   download(nginx.url("/agent.zip"));
#pragma once

#include <sys/types.h>

#include <string>

#include "support/scratch_dir.h"

namespace testsupport {

struct NginxOptions {
  bool tls = false;              // HTTPS with HTTP/2 offered
  std::string serverDirectives;  // more directives of the server block
};

class NginxServer {
 public:
  explicit NginxServer(const std::string& root, NginxOptions options = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // False when nginx could not be started or never accepted connections.
  bool started() const { return pid_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or "https://") followed by `path`.
  std::string url(const std::string& path) const;
  // The self-signed certificate's file (PEM) when `tls`, else empty.
  const std::string& certificateFile() const { return certificate_; }

  // nginx logs a request once it has finished with it, a moment after the client has its
  // answer: with `requests`, the log is read once it holds that many lines (within 5 s).
  std::string accessLog(size_t requests = 0) const;
  std::string errorLog() const;

 private:
  // Fills in the placeholders of `configuration` (tools/lib/nginx.conf.in) and starts nginx.
  bool startOnce(const std::string& root, std::string configuration);
  void stop();

  NginxOptions options_;
  ScratchDir prefix_;
  std::string certificate_;
  pid_t pid_ = -1;
  int port_ = -1;
};

}  // namespace testsupport

// A controllable HTTP server on loopback for tests of the download and everything above it.
//
// `TestHttpServer` listens on 127.0.0.1 at a free port from construction to destruction and
// answers GET requests from its own threads. A test tells it, path by path, what to send:
// a `Reply` with any status, body and header fields (the "ETag" in any letter case), with or
// without Content-Length, and with the faults a download must survive: a slow drip, a stall
// (before the answer or within the body), a body cut short by a clean close, or a connection
// reset (TCP RST) in the middle. Bodies of any size can be generated on the fly, so a body of
// several hundred megabytes costs no memory. A reply may take byte ranges, and a path may
// answer with a different reply each time (`serveInTurn`), so a test can play a fault and then
// the resumed download. Paths not registered answer 404 with an empty body.
//
// Thread rules: register paths before a client asks for them; `hits`, `lastRequest` and
// `releaseStalls` are safe from any thread at any time. A stalled reply holds its connection
// until `releaseStalls` or the server's destruction, which releases it and waits for every
// server thread.
//
// `unusedLoopbackPort` gives a port of 127.0.0.1 that nobody listens on, for a refused
// connection or for another server of the test to take.
//
// Example:
//   TestHttpServer server;
//   Reply reply;
//   reply.body = "archive bytes";
//   reply.headers = {{"etag", "\"v1\""}};
//   reply.chunked = true;               // no Content-Length
//   server.serve("/agent.zip", reply);
//   download(server.url("/agent.zip"));
//   EXPECT_EQ(server.hits("/agent.zip"), 1);
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testsupport {

struct ServerRoutes;

// How the server answers one path.
struct Reply {
  int status = 200;
  std::string body;  // ignored when `generatedSize` is set
  // Sent as given, names in their letter case, e.g. {"ETag", "\"abc\""} or {"etag", ...}.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType = "application/octet-stream";

  // A generated body of this many bytes (see `generatedByte`) instead of `body`.
  std::optional<int64_t> generatedSize;

  bool chunked = false;  // no Content-Length: chunked transfer encoding

  // "Accept-Ranges: bytes", and "Range: bytes=N-" is answered with a 206 from byte N unless an
  // "If-Range" names another ETag than the reply's. Not with `chunked`.
  bool acceptRanges = false;

  // A slow drip: `dripBytes` bytes at a time, `dripInterval` apart. 0: as fast as possible.
  size_t dripBytes = 0;
  std::chrono::milliseconds dripInterval{0};

  // Sends nothing at all, not even the status line, until `releaseStalls`: a server slow to
  // give its first byte.
  bool stallBeforeAnswer = false;

  // Faults, each after this many bytes of the whole body have gone out, counted from its start
  // also in a 206 (the first that applies wins):
  std::optional<int64_t> stallAfter;  // then send nothing, keeping the connection open
  std::optional<int64_t> closeAfter;  // then close cleanly: the body is short (or, chunked,
                                      // lacks its final chunk)
  std::optional<int64_t> resetAfter;  // then reset the connection
};

// What the server saw of the latest request for a path.
struct SeenRequest {
  std::string method;
  std::string target;  // as on the request line (absolute for a request through a proxy)
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> header(const std::string& name) const;  // any letter case
};

class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const;

  // Answers GET `path` (exact match, without the query) with `reply`; replaces an earlier one.
  void serve(const std::string& path, Reply reply);
  // Answers the first request for `path` with the first reply, the second with the second,
  // and every later one with the last.
  void serveInTurn(const std::string& path, std::vector<Reply> replies);
  // Answers GET `from` with `status` and "Location: <to>" (a path or an absolute URL).
  void redirect(const std::string& from, const std::string& to, int status = 302);
  // Answers requests whose path matches the regular expression `pattern` with `handler`, for
  // whatever `Reply` cannot express. Called on a server thread.
  void handle(const std::string& pattern,
              std::function<void(const httplib::Request&, httplib::Response&)> handler);

  // How many requests came for `path` so far.
  int hits(const std::string& path) const;
  // The latest request for `path`, if any came.
  std::optional<SeenRequest> lastRequest(const std::string& path) const;
  // The body bytes handed to the network for `path` so far, over all its requests.
  int64_t bytesSent(const std::string& path) const;

  // Lets every stalled reply go on: it closes its connection.
  void releaseStalls();

  // The byte at `offset` of every generated body: a pattern that does not repeat every power
  // of two, so a lost or doubled block shows.
  static char generatedByte(int64_t offset);
  // The first `size` bytes of a generated body, for comparisons of small bodies.
  static std::string generatedBody(int64_t size);
  // Writes the `size` generated bytes from `offset` on to `out`, fast (a copy, not a loop).
  static void fillGenerated(char* out, int64_t offset, size_t size);

 private:
  void record(const httplib::Request& request);
  void answer(const Reply& reply, const httplib::Request& request, httplib::Response& response);
  // Sends no more until `releaseStalls` or destruction.
  void waitForRelease();
  // Waits `interval`; false when the server is going away meanwhile.
  bool pause(std::chrono::milliseconds interval);

  std::unique_ptr<ServerRoutes> routes_;  // guarded by mutex_
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;

  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool releasing_ = false;
  bool stopping_ = false;
  std::map<std::string, int> hits_;
  std::map<std::string, SeenRequest> seen_;
  std::map<std::string, std::shared_ptr<std::atomic<int64_t>>> sent_;
};

// Resets the TCP connection that carries `request` (the peer sees ECONNRESET), leaving the
// socket open for the server to close. For handlers registered with `handle`.
void resetConnection(const httplib::Request& request);

// A port of 127.0.0.1 on which nobody listens: it was free a moment ago. -1 on failure.
int unusedLoopbackPort();

}  // namespace testsupport

#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>

namespace testsupport {
namespace {

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

// The descriptor of this process's TCP socket from `localPort` to `remotePort`, or -1.
int findSocket(int localPort, int remotePort) {
  DIR* directory = opendir("/proc/self/fd");
  if (!directory) return -1;
  int found = -1;
  while (dirent* entry = readdir(directory)) {
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || end == entry->d_name || fd == dirfd(directory)) continue;
    sockaddr_storage local{}, remote{};
    socklen_t localLength = sizeof local, remoteLength = sizeof remote;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0)
      continue;
    if (portOf(local) == localPort && portOf(remote) == remotePort) {
      found = static_cast<int>(fd);
      break;
    }
  }
  closedir(directory);
  return found;
}

// The first byte a "Range: bytes=N-" asks for, when `reply` gives it: 0 for the whole body.
int64_t rangeStart(const Reply& reply, const httplib::Request& request, int64_t size) {
  if (!reply.acceptRanges || reply.chunked) return 0;
  std::string range = request.get_header_value("Range");
  std::smatch match;
  if (!std::regex_match(range, match, std::regex("bytes=([0-9]+)-"))) return 0;
  if (request.has_header("If-Range")) {
    auto tag = std::find_if(reply.headers.begin(), reply.headers.end(), [](const auto& field) {
      return strcasecmp(field.first.c_str(), "ETag") == 0;
    });
    if (tag == reply.headers.end() || tag->second != request.get_header_value("If-Range"))
      return 0;
  }
  int64_t start = std::stoll(match[1].str());
  return start < size ? start : 0;
}

}  // namespace

std::optional<std::string> SeenRequest::header(const std::string& name) const {
  for (const auto& [field, value] : headers)
    if (strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  return std::nullopt;
}

void resetConnection(const httplib::Request& request) {
  int fd = findSocket(request.local_port, request.remote_port);
  if (fd < 0) return;
  // Disconnecting a connected TCP socket sends a reset and keeps the descriptor valid, so
  // the server may still close it as usual.
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  connect(fd, &unspecified, sizeof unspecified);
}

int unusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

char TestHttpServer::generatedByte(int64_t offset) {
  return static_cast<char>('!' + offset % 89);  // 89 is prime
}

std::string TestHttpServer::generatedBody(int64_t size) {
  std::string body(static_cast<size_t>(size), '\0');
  for (int64_t i = 0; i < size; ++i) body[static_cast<size_t>(i)] = generatedByte(i);
  return body;
}

void TestHttpServer::fillGenerated(char* out, int64_t offset, size_t size) {
  // The pattern's period divides the block's length, so the block repeats seamlessly.
  static const std::string block = generatedBody(89 * 1024);
  size_t at = static_cast<size_t>(offset % 89);
  while (size > 0) {
    size_t piece = std::min(size, block.size() - at);
    memcpy(out, block.data() + at, piece);
    out += piece;
    size -= piece;
    at = 0;
  }
}

struct ServerRoutes {
  // Each path's replies in turn, and how many requests it had.
  std::map<std::string, std::pair<std::vector<Reply>, size_t>> replies;
  std::vector<
      std::pair<std::regex, std::function<void(const httplib::Request&, httplib::Response&)>>>
      handlers;
};

TestHttpServer::TestHttpServer() : server_(std::make_unique<httplib::Server>()) {
  routes_ = std::make_unique<ServerRoutes>();
  server_->set_keep_alive_timeout(1);  // so that the destructor does not wait long
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::optional<Reply> reply;
    std::function<void(const httplib::Request&, httplib::Response&)> handler;
    {
      std::lock_guard lock(mutex_);
      auto it = routes_->replies.find(request.path);
      if (it != routes_->replies.end()) {
        auto& [replies, answered] = it->second;
        reply = replies[std::min(answered++, replies.size() - 1)];
      } else {
        for (const auto& [pattern, candidate] : routes_->handlers) {
          if (std::regex_match(request.path, pattern)) {
            handler = candidate;
            break;
          }
        }
      }
    }
    if (reply) {
      answer(*reply, request, response);
    } else if (handler) {
      handler(request, response);
    } else {
      response.status = 404;
    }
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop before the accept loop runs would be lost, and the destructor would wait forever.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard lock(mutex_);
    releasing_ = true;
    stopping_ = true;
  }
  released_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::serve(const std::string& path, Reply reply) {
  serveInTurn(path, {std::move(reply)});
}

void TestHttpServer::serveInTurn(const std::string& path, std::vector<Reply> replies) {
  std::lock_guard lock(mutex_);
  routes_->replies[path] = {std::move(replies), 0};
}

void TestHttpServer::redirect(const std::string& from, const std::string& to, int status) {
  Reply reply;
  reply.status = status;
  reply.headers = {{"Location", to}};
  serve(from, std::move(reply));
}

void TestHttpServer::handle(
    const std::string& pattern,
    std::function<void(const httplib::Request&, httplib::Response&)> handler) {
  std::lock_guard lock(mutex_);
  routes_->handlers.emplace_back(std::regex(pattern), std::move(handler));
}

int TestHttpServer::hits(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = hits_.find(path);
  return it == hits_.end() ? 0 : it->second;
}

int64_t TestHttpServer::bytesSent(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = sent_.find(path);
  return it == sent_.end() ? 0 : it->second->load();
}

std::optional<SeenRequest> TestHttpServer::lastRequest(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = seen_.find(path);
  if (it == seen_.end()) return std::nullopt;
  return it->second;
}

void TestHttpServer::releaseStalls() {
  {
    std::lock_guard lock(mutex_);
    releasing_ = true;
  }
  released_.notify_all();
}

void TestHttpServer::record(const httplib::Request& request) {
  SeenRequest seen;
  seen.method = request.method;
  seen.target = request.target;
  for (const auto& [name, value] : request.headers) seen.headers.emplace_back(name, value);
  std::lock_guard lock(mutex_);
  ++hits_[request.path];
  seen_[request.path] = std::move(seen);
  if (!sent_[request.path]) sent_[request.path] = std::make_shared<std::atomic<int64_t>>(0);
}

bool TestHttpServer::pause(std::chrono::milliseconds interval) {
  std::unique_lock lock(mutex_);
  return !released_.wait_for(lock, interval, [this] { return stopping_; });
}

void TestHttpServer::waitForRelease() {
  std::unique_lock lock(mutex_);
  released_.wait(lock, [this] { return releasing_; });
}

void TestHttpServer::answer(const Reply& reply, const httplib::Request& request,
                            httplib::Response& response) {
  if (reply.stallBeforeAnswer) waitForRelease();
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) response.set_header(name, value);

  const int64_t size =
      reply.generatedSize ? *reply.generatedSize : static_cast<int64_t>(reply.body.size());
  // httplib would answer a Range itself, even under a 200: the reply decides instead.
  const_cast<httplib::Request&>(request).ranges.clear();
  const int64_t from = rangeStart(reply, request, size);
  if (reply.acceptRanges) response.set_header("Accept-Ranges", "bytes");
  if (from > 0) {
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                             std::to_string(size - 1) + "/" +
                                             std::to_string(size));
  }
  std::shared_ptr<std::atomic<int64_t>> sent;
  {
    std::lock_guard lock(mutex_);
    sent = sent_[request.path];
  }
  std::optional<int64_t> faultAt;
  for (const auto& at : {reply.stallAfter, reply.closeAfter, reply.resetAfter})
    if (at) faultAt = std::min(faultAt.value_or(*at), *at);
  if (size == 0 && !reply.chunked && !faultAt) {
    response.set_content("", reply.contentType.c_str());
    return;
  }

  // Writes the next piece from `offset`, or plays the fault; false ends the connection.
  // One buffer for the whole reply: a huge body costs no memory, not even freed memory.
  auto buffer = std::make_shared<std::string>();
  auto provide = [this, reply, size, faultAt, request, buffer, sent](int64_t offset,
                                                                     httplib::DataSink& sink) {
    if (faultAt && offset >= *faultAt) {
      if (reply.stallAfter && offset >= *reply.stallAfter) {
        waitForRelease();
      } else if (reply.resetAfter && offset >= *reply.resetAfter) {
        resetConnection(request);
      }
      return false;
    }
    if (offset >= size) {  // chunked and complete
      sink.done();
      return true;
    }
    int64_t step = reply.dripBytes > 0 ? static_cast<int64_t>(reply.dripBytes) : 64 * 1024;
    step = std::min(step, std::min(size, faultAt.value_or(size)) - offset);
    const char* piece = reply.body.data() + offset;
    if (reply.generatedSize) {
      buffer->resize(static_cast<size_t>(step));
      fillGenerated(buffer->data(), offset, static_cast<size_t>(step));
      piece = buffer->data();
    }
    if (!sink.write(piece, static_cast<size_t>(step))) return false;
    *sent += step;
    if (reply.dripInterval.count() > 0 && !pause(reply.dripInterval)) return false;
    return true;
  };

  if (reply.chunked) {
    response.set_chunked_content_provider(reply.contentType.c_str(),
                                          [provide](size_t offset, httplib::DataSink& sink) {
                                            return provide(static_cast<int64_t>(offset), sink);
                                          });
  } else {
    response.set_content_provider(static_cast<size_t>(size - from), reply.contentType.c_str(),
                                  [provide, from](size_t offset, size_t, httplib::DataSink& sink) {
                                    return provide(from + static_cast<int64_t>(offset), sink);
                                  });
  }
}

}  // namespace testsupport

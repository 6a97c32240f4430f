// Owners of libcurl's easy and multi handles.
//
// One owner per handle, freed in the destructor; copying is deleted, moving hands the handle
// on. Used by the URL session, whose worker thread alone touches the handles it owns while
// they are in use (`curl_multi_wakeup` excepted, which any thread may call).
#pragma once

#include <curl/curl.h>

#include <utility>

namespace host {

class CurlEasy {
 public:
  CurlEasy() = default;
  explicit CurlEasy(CURL* handle) : handle_(handle) {}
  ~CurlEasy() { reset(); }
  CurlEasy(CurlEasy&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  CurlEasy& operator=(CurlEasy&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;

  CURL* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_) curl_easy_cleanup(std::exchange(handle_, nullptr));
  }

 private:
  CURL* handle_ = nullptr;
};

// Every easy handle must have left the multi handle before it is destroyed.
class CurlMulti {
 public:
  CurlMulti() = default;
  explicit CurlMulti(CURLM* handle) : handle_(handle) {}
  ~CurlMulti() {
    if (handle_) curl_multi_cleanup(handle_);
  }
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  CURLM* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  CURLM* handle_ = nullptr;
};

}  // namespace host

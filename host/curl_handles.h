// Owners of libcurl's easy and multi handles: each frees its handle when it goes.
//
// Used by the URL session, whose worker thread alone touches the handles it owns while they
// are in use (`curl_multi_wakeup` excepted, which any thread may call). Every easy handle must
// have left the multi handle before it is destroyed.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace host {

struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;

}  // namespace host

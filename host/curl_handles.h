// Owners of libcurl's handles, for the URL session (host/url_session.cpp): each releases its
// handle when it goes. Every easy handle leaves the multi handle before it goes.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace host {

template <auto release>
struct CurlRelease {
  void operator()(auto* handle) const { release(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlRelease<curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, CurlRelease<curl_multi_cleanup>>;
using CurlSlist = std::unique_ptr<curl_slist, CurlRelease<curl_slist_free_all>>;

}  // namespace host

// Plain HTTP for the web tests, over Boost.Beast as the console itself: a
// client that opens a connection per request (the console serves one per
// connection) and a small site of fixed pages on a loopback port (a page of
// another origin, say).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vt::e2e {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
  int status = 0;
  HttpHeaders headers;
  std::string body;
  // The first header of that name (regardless of case); empty if none.
  std::string Header(const std::string& name) const;
};

// nullopt when there was no answer (refused, reset, timed out); why in
// lastError().
using HttpResult = std::optional<HttpReply>;

class HttpClient {
 public:
  // "http://127.0.0.1:PORT", or a host and port.
  explicit HttpClient(const std::string& url);
  HttpClient(std::string host, int port)
      : host_(std::move(host)), port_(port) {}

  HttpResult Get(const std::string& path, const HttpHeaders& headers = {});
  HttpResult Post(const std::string& path, const std::string& body,
                  const std::string& contentType) {
    return Post(path, {}, body, contentType);
  }
  HttpResult Post(const std::string& path, const HttpHeaders& headers,
                  const std::string& body, const std::string& contentType);
  HttpResult Delete(const std::string& path);
  // Sends, with every request from now on, HTTP Basic credentials.
  void SetBasicAuth(const std::string& user, const std::string& password);
  void SetReadTimeout(std::chrono::seconds timeout) { timeout_ = timeout; }
  const std::string& lastError() const { return lastError_; }

  // Any method, with a body when not empty.
  HttpResult Send(const std::string& method, const std::string& path,
                  const HttpHeaders& headers, const std::string& body,
                  const std::string& contentType);

 private:
  std::string host_;
  int port_ = 0;
  std::string authorization_;
  std::chrono::seconds timeout_{30};
  std::string lastError_;
};

struct TestPage {
  std::string path;  // "/app.js"
  std::string contentType;
  std::string body;
  HttpHeaders headers;
};

// Serves the pages (GET only, one request per connection) on 127.0.0.1 for
// as long as it lives; anything else is 404.
class TestSite {
 public:
  explicit TestSite(std::vector<TestPage> pages);
  TestSite(const TestSite&) = delete;
  TestSite& operator=(const TestSite&) = delete;
  ~TestSite();
  // "http://127.0.0.1:PORT/".
  std::string Url() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::thread thread_;
};

}  // namespace vt::e2e

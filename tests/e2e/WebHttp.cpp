// Synchronous Beast: the tests ask one thing at a time.
#include "WebHttp.h"

#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "base/Ascii.h"

namespace vt::e2e {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::string Base64(const std::string& text) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    const uint32_t n = (uint8_t(text[i]) << 16) | (uint8_t(text[i + 1]) << 8) |
                       uint8_t(text[i + 2]);
    for (int shift : {18, 12, 6, 0})
      out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  if (i < text.size()) {
    uint32_t n = uint8_t(text[i]) << 16;
    if (i + 1 < text.size()) n |= uint8_t(text[i + 1]) << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < text.size() ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace

std::string HttpReply::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoreCase(key, name)) return value;
  }
  return "";
}

HttpClient::HttpClient(const std::string& url) {
  std::string rest = url.substr(url.find("://") + 3);
  const size_t colon = rest.rfind(':');
  host_ = rest.substr(0, colon);
  port_ = std::atoi(rest.c_str() + colon + 1);
}

HttpResult HttpClient::Get(const std::string& path,
                           const HttpHeaders& headers) {
  return Send("GET", path, headers, "", "");
}

HttpResult HttpClient::Post(const std::string& path, const HttpHeaders& headers,
                            const std::string& body,
                            const std::string& contentType) {
  return Send("POST", path, headers, body, contentType);
}

HttpResult HttpClient::Delete(const std::string& path) {
  return Send("DELETE", path, {}, "", "");
}

void HttpClient::SetBasicAuth(const std::string& user,
                              const std::string& password) {
  authorization_ = "Basic " + Base64(user + ":" + password);
}

HttpResult HttpClient::Send(const std::string& method, const std::string& path,
                            const HttpHeaders& headers, const std::string& body,
                            const std::string& contentType) {
  asio::io_context io;
  tcp::socket socket(io);
  beast::error_code ec;
  const auto address = asio::ip::make_address(host_, ec);
  if (!ec) socket.connect(tcp::endpoint(address, port_), ec);
  if (ec) {
    lastError_ = "cannot connect: " + ec.message();
    return std::nullopt;
  }
  const timeval wait{static_cast<time_t>(timeout_.count()), 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait,
               sizeof wait);
  http::request<http::string_body> request(http::string_to_verb(method), path,
                                           11);
  request.set(http::field::host, host_ + ":" + std::to_string(port_));
  if (!authorization_.empty()) {
    request.set(http::field::authorization, authorization_);
  }
  if (!contentType.empty()) {
    request.set(http::field::content_type, contentType);
  }
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  http::write(socket, request, ec);
  if (ec) {
    lastError_ = "cannot send: " + ec.message();
    return std::nullopt;
  }
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::uint64_t{1} << 32);
  parser.header_limit(1 << 20);
  http::read(socket, buffer, parser, ec);
  if (ec) {
    lastError_ = "no answer: " + ec.message();
    return std::nullopt;
  }
  HttpReply reply;
  const auto& response = parser.get();
  reply.status = static_cast<int>(response.result_int());
  for (const auto& field : response) {
    reply.headers.emplace_back(std::string(field.name_string()),
                               std::string(field.value()));
  }
  reply.body = response.body();
  return reply;
}

struct TestSite::State {
  std::vector<TestPage> pages;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  int port = 0;

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      Answer(socket);
      Accept();
    });
  }

  void Answer(tcp::socket& socket) {
    // A browser's speculative connection may send nothing at all.
    const timeval wait{2, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait,
                 sizeof wait);
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    beast::error_code ec;
    http::read(socket, buffer, request, ec);
    if (ec) return;
    http::response<http::string_body> response(http::status::not_found, 11);
    for (const TestPage& page : pages) {
      if (request.target() == page.path &&
          request.method() == http::verb::get) {
        response.result(http::status::ok);
        response.set(http::field::content_type, page.contentType);
        for (const auto& [name, value] : page.headers)
          response.set(name, value);
        response.body() = page.body;
      }
    }
    response.keep_alive(false);
    response.prepare_payload();
    http::write(socket, response, ec);
    socket.shutdown(tcp::socket::shutdown_both, ec);
  }
};

TestSite::TestSite(std::vector<TestPage> pages)
    : state_(std::make_unique<State>()) {
  state_->pages = std::move(pages);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  state_->acceptor.open(endpoint.protocol());
  state_->acceptor.bind(endpoint);
  state_->acceptor.listen();
  state_->port = state_->acceptor.local_endpoint().port();
  state_->Accept();
  thread_ = std::thread([this] { state_->io.run(); });
}

TestSite::~TestSite() {
  state_->io.stop();
  thread_.join();
}

std::string TestSite::Url() const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + "/";
}

}  // namespace vt::e2e

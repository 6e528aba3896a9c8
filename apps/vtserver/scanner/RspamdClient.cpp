// One easy handle per request (so that threads share nothing), no proxy
// whatever the environment says, the deadline as curl's whole-transfer
// limit, and a reply that stops being read at its limit.
#include "scanner/RspamdClient.h"

#include <curl/curl.h>

#include <memory>

#include "scanner/EngineReplies.h"

namespace vt::scanner {
namespace {

struct CurlEasyFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

struct ReplySink {
  std::string* body;
  size_t limit;
  bool overflowed = false;
};

size_t CollectReply(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<ReplySink*>(user);
  const size_t bytes = size * count;
  if (sink->body->size() + bytes > sink->limit) {
    sink->overflowed = true;
    return 0;  // curl ends the transfer with CURLE_WRITE_ERROR
  }
  sink->body->append(data, bytes);
  return bytes;
}

bool AppendLine(CurlList* list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list->get(), line.c_str());
  if (grown == nullptr) return false;
  // Appending returns the list's head, a new one only for the first line.
  if (list->get() == nullptr) list->reset(grown);
  return true;
}

// Adds "Name: value" unless the value is empty; a value cannot carry a line
// end into the request.
bool AddHeader(CurlList* list, const char* name, std::string_view value) {
  if (value.empty()) return true;
  return AppendLine(list, std::string(name) + ": " + OneLine(value, 1024));
}

FailureKind KindOf(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return FailureKind::kTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return FailureKind::kUnreachable;
    default:
      return FailureKind::kProtocol;
  }
}

std::string WithoutTrailingSlashes(std::string url) {
  while (url.ends_with('/')) url.pop_back();
  return url;
}

}  // namespace

RspamdClient::RspamdClient(RspamdOptions options)
    : options_(std::move(options)) {
  // Counted by libcurl; thread-safe where curl -V lists "threadsafe", as
  // Debian 12's does.
  curlReady_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  options_.url = WithoutTrailingSlashes(options_.url);
  options_.controllerUrl = WithoutTrailingSlashes(options_.controllerUrl);
}

RspamdClient::~RspamdClient() {
  if (curlReady_) curl_global_cleanup();
}

EngineReply<RspamdClient::HttpReply> RspamdClient::Post(
    const std::string& url, const ScanRequest& request,
    bool withPassword) const {
  const auto fail = [&](FailureKind kind, std::string text) {
    return EngineFailure{Engine::kRspamd, kind, std::move(text)};
  };
  const std::chrono::milliseconds left = request.deadline.Remaining();
  // curl reads a zero timeout as none at all.
  if (left.count() == 0) {
    return fail(FailureKind::kTimeout, "the deadline passed before " + url);
  }
  CurlEasy curl(curlReady_ ? curl_easy_init() : nullptr);
  CurlList headers;
  bool built = curl != nullptr;
  built = built && AddHeader(&headers, "From", request.mailFrom);
  for (const std::string& rcpt : request.recipients) {
    built = built && AddHeader(&headers, "Rcpt", rcpt);
  }
  built = built && AddHeader(&headers, "IP", request.clientIp) &&
          AddHeader(&headers, "Helo", request.helo) &&
          AddHeader(&headers, "Hostname", request.clientHost) &&
          AddHeader(&headers, "Queue-Id", request.queueId);
  if (withPassword) {
    built = built && AddHeader(&headers, "Password", options_.password);
  }
  // No "Expect: 100-continue" pause, and no form content type: "Name:"
  // alone removes what curl would add.
  built = built && AppendLine(&headers, "Expect:") &&
          AppendLine(&headers, "Content-Type:");
  if (!built) return fail(FailureKind::kProtocol, "cannot build a request");

  HttpReply reply;
  ReplySink sink{&reply.body, options_.replyLimit};
  char error[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  const long connectMs = static_cast<long>(
      request.deadline.RemainingAtMost(options_.connectLimit).count());
  bool set = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK;
  const auto opt = [&](CURLoption option, auto value) {
    set = set && curl_easy_setopt(h, option, value) == CURLE_OK;
  };
  opt(CURLOPT_NOPROXY, "*");
  opt(CURLOPT_PROXY, "");
  opt(CURLOPT_PROTOCOLS_STR, "http,https");
  opt(CURLOPT_NOSIGNAL, 1L);
  opt(CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
  opt(CURLOPT_CONNECTTIMEOUT_MS, connectMs > 0 ? connectMs : 1L);
  opt(CURLOPT_POST, 1L);
  opt(CURLOPT_POSTFIELDS, request.message.data());
  opt(CURLOPT_POSTFIELDSIZE_LARGE,
      static_cast<curl_off_t>(request.message.size()));
  opt(CURLOPT_HTTPHEADER, headers.get());
  opt(CURLOPT_WRITEFUNCTION, &CollectReply);
  opt(CURLOPT_WRITEDATA, &sink);
  opt(CURLOPT_ERRORBUFFER, error);
  if (!set) return fail(FailureKind::kProtocol, "cannot set up a request");

  const CURLcode code = curl_easy_perform(h);
  if (sink.overflowed) {
    return fail(FailureKind::kProtocol,
                "reply from " + url + " longer than " +
                    std::to_string(options_.replyLimit) + " bytes");
  }
  if (code != CURLE_OK) {
    const std::string detail =
        error[0] != '\0' ? error : curl_easy_strerror(code);
    return fail(KindOf(code), url + ": " + detail);
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

EngineOutcome RspamdClient::Scan(const ScanRequest& request) const {
  const std::string url = options_.url + "/checkv2";
  EngineReply<HttpReply> reply = Post(url, request, false);
  if (!reply.ok()) return reply.failure();
  const HttpReply& http = reply.value();
  if (http.status != 200) {
    return EngineFailure{
        Engine::kRspamd,
        http.status == 413 ? FailureKind::kTooLarge : FailureKind::kRefused,
        url + " answered HTTP " + std::to_string(http.status) + ": " +
            RspamdErrorText(http.body)};
  }
  return ParseRspamdCheck(http.body);
}

LearnOutcome RspamdClient::Learn(const ScanRequest& request, bool spam) const {
  const std::string url =
      options_.controllerUrl + (spam ? "/learnspam" : "/learnham");
  EngineReply<HttpReply> reply = Post(url, request, true);
  if (!reply.ok()) return reply.failure();
  return ParseRspamdLearn(reply.value().status, reply.value().body);
}

}  // namespace vt::scanner

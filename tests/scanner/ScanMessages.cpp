// Letters built at run time (today's date, so that no engine scores an old
// one), with CR LF line ends as the store keeps them.
#include "ScanMessages.h"

#include <openssl/evp.h>

#include <array>
#include <ctime>

#include "PrivateEngines.h"

namespace vt::scanner::testing {
namespace {

std::string DateHeader() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::array<char, 64> text{};
  const size_t size = std::strftime(text.data(), text.size(),
                                    "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return std::string(text.data(), size);
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int size =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  out.resize(size > 0 ? static_cast<size_t>(size) : 0);
  return out;
}

std::string Head(const std::string& subject, const std::string& id) {
  return "From: Alice Example <alice@example.com>\r\n"
         "To: Bob Example <bob@example.org>, Carol Example "
         "<carol@example.org>\r\n"
         "Subject: " +
         subject +
         "\r\n"
         "Date: " +
         DateHeader() +
         "\r\n"
         "Message-ID: <" +
         id +
         "@example.com>\r\n"
         "MIME-Version: 1.0\r\n";
}

const char kLetter[] =
    "Hi Bob,\r\n"
    "\r\n"
    "shall we meet for lunch on Thursday at noon, at the usual place near "
    "the\r\n"
    "office? I will bring the notes from Monday's meeting about the new\r\n"
    "project, so that we can go through them together before the review.\r\n"
    "\r\n"
    "Best regards,\r\n"
    "Alice\r\n";

ScanRequest WithEnvelope(std::string message, const std::string& queueId) {
  ScanRequest request;
  request.message = std::move(message);
  request.mailFrom = "alice@example.com";
  request.recipients = {"bob@example.org", "carol@example.org"};
  request.clientIp = "192.0.2.10";
  request.clientHost = "mail.example.com";
  request.helo = "mail.example.com";
  request.queueId = queueId;
  return request;
}

}  // namespace

ScanRequest PlainRequest(const std::string& queueId) {
  return WithEnvelope(Head("Lunch on Thursday", "lunch-" + queueId) +
                          "Content-Type: text/plain; charset=us-ascii\r\n"
                          "\r\n" +
                          kLetter,
                      queueId);
}

ScanRequest GtubeRequest() {
  return WithEnvelope(
      Head("Test", "gtube-1") +
          "Content-Type: text/plain; charset=us-ascii\r\n"
          "\r\n"
          "This is the GTUBE, the test line for spam filters:\r\n"
          "\r\n" +
          GtubeText() + "\r\n",
      "VTQ-GTUBE");
}

ScanRequest EicarRequest() {
  return WithEnvelope(
      Head("The file you asked for", "eicar-1") +
          "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
          "\r\n"
          "--b1\r\n"
          "Content-Type: text/plain; charset=us-ascii\r\n"
          "\r\n"
          "Here is the file.\r\n"
          "--b1\r\n"
          "Content-Type: application/octet-stream; name=\"eicar.com\"\r\n"
          "Content-Disposition: attachment; filename=\"eicar.com\"\r\n"
          "Content-Transfer-Encoding: base64\r\n"
          "\r\n" +
          Base64(EicarText()) +
          "\r\n"
          "--b1--\r\n",
      "VTQ-EICAR");
}

ScanRequest LargeRequest(size_t bytes) {
  std::string body;
  while (body.size() < bytes) body += kLetter;
  return WithEnvelope(Head("Minutes, in full", "large-1") +
                          "Content-Type: text/plain; charset=us-ascii\r\n"
                          "\r\n" +
                          body,
                      "VTQ-LARGE");
}

}  // namespace vt::scanner::testing

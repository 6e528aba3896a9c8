// Non-delivery reports read back with GMime, as the sender's mail program
// would read them: the three parts of a multipart/report, the status fields
// of each reported recipient, the original returned as RET asked, and text
// from the envelope or a hostile next hop kept on its own line.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/smtp/DeliveryReport.h"

namespace vt::smtp {
namespace {

constexpr char kQueueId[] = "0123456789ABCDEF0123456789ABCDEF";
constexpr int64_t kArrival = 1765200000;
constexpr int64_t kNow = kArrival + 5 * 86400 + 3723;

constexpr char kHeaders[] =
    "Received: from client.example.net by mx.ours.example\r\n"
    "From: Sender <sender@example.org>\r\n"
    "To: anna@example.com\r\n"
    "Subject: Quarterly figures\r\n"
    "Message-ID: <m1@example.org>\r\n";
// The body holds the boundary the report would try first.
constexpr char kBody[] =
    "Figures attached in the next message.\r\n"
    "--=_0123456789ABCDEF0123456789ABCDEF.0\r\n"
    "Regards\r\n";

struct GObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename T>
using GOwned = std::unique_ptr<T, GObjectUnref>;

GOwned<GMimeMessage> Parse(const std::string& text) {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
  GOwned<GMimeStream> stream(
      g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GOwned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return GOwned<GMimeMessage>(
      g_mime_parser_construct_message(parser.get(), nullptr));
}

std::string MimeType(GMimeObject* object) {
  char* type =
      g_mime_content_type_get_mime_type(g_mime_object_get_content_type(object));
  std::string out = type;
  g_free(type);
  return out;
}

std::string Header(GMimeObject* object, const char* name) {
  const char* value = g_mime_object_get_header(object, name);
  return value ? value : "(none)";
}

// Every line ends in CRLF and holds at most 998 octets.
void ExpectWellFormedLines(const std::string& text) {
  ASSERT_TRUE(text.ends_with("\r\n"));
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "at " << i;
    } else if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
      ASSERT_LE(i - 1 - start, 998u) << "line at " << start;
      start = i + 1;
    }
  }
}

struct RawPart {
  std::string headers;
  std::string content;
};

// The parts as the boundary GMime found delimits them, byte for byte.
std::vector<RawPart> RawParts(const std::string& report, GMimeObject* top) {
  const char* boundary = g_mime_multipart_get_boundary(GMIME_MULTIPART(top));
  const std::string delimiter = std::string("\r\n--") + boundary;
  std::vector<RawPart> parts;
  size_t at = report.find(delimiter);
  while (at != std::string::npos) {
    at += delimiter.size();
    if (report.compare(at, 2, "--") == 0) break;
    at += 2;
    const size_t next = report.find(delimiter, at);
    const std::string whole = report.substr(at, next - at);
    const size_t blank = whole.find("\r\n\r\n");
    parts.push_back({whole.substr(0, blank + 2), whole.substr(blank + 4)});
    at = next;
  }
  return parts;
}

using Fields = std::map<std::string, std::string>;

// The field blocks of a delivery-status, unfolded.
std::vector<Fields> StatusBlocks(const std::string& content) {
  std::vector<Fields> blocks(1);
  size_t at = 0;
  std::string last;
  while (at < content.size()) {
    const size_t end = content.find("\r\n", at);
    const std::string line = content.substr(at, end - at);
    at = end + 2;
    if (line.empty()) {
      blocks.emplace_back();
    } else if (line[0] == ' ' || line[0] == '\t') {
      blocks.back()[last] += line;
    } else {
      const size_t colon = line.find(':');
      last = line.substr(0, colon);
      EXPECT_EQ(blocks.back().count(last), 0u) << last;
      blocks.back()[last] = line.substr(colon + 2);
    }
  }
  return blocks;
}

FailedRecipient Failed(std::string address, uint8_t notify, Reply reply,
                       std::string remoteMta) {
  FailedRecipient r;
  r.address = std::move(address);
  r.params.notify = notify;
  r.reply = std::move(reply);
  r.remoteMta = std::move(remoteMta);
  return r;
}

class DeliveryReportTest : public ::testing::Test {
 protected:
  DeliveryReportTest() : message_(std::string(kHeaders) + "\r\n" + kBody) {
    input_.reportingMta = "mx.ours.example";
    input_.reversePath = "sender@example.org";
    input_.mail.envid = "QQ314159";
    input_.message = message_;
    input_.arrivalUnixSeconds = kArrival;
    input_.nowUnixSeconds = kNow;
    input_.queueId = kQueueId;
  }

  std::string message_;
  ReportInput input_;
};

TEST_F(DeliveryReportTest, ReportsEachFailedRecipientThatAsked) {
  FailedRecipient anna =
      Failed("anna@example.com", kNotifyFailure,
             Reply(550, "5.1.1", "User unknown"), "mx.example.com");
  anna.params.orcpt = Orcpt{"rfc822", "anna+x@example.com"};
  FailedRecipient carl =
      Failed("carl@example.com", 0, Reply(451, "", "Try later"), "mx2.example");
  carl.afterLifetime = true;
  input_.recipients = {
      anna,
      Failed("bert@example.com", kNotifyNever, Reply(550, "5.1.1", "No"),
             "mx.example.com"),
      carl,
      Failed("dora@example.com", kNotifySuccess | kNotifyDelay,
             Reply(550, "5.1.1", "No"), "mx.example.com"),
      Failed("erik@example.com", kNotifyFailure | kNotifyDelay,
             Reply(554, "", "Relay access denied"), ""),
  };
  const std::optional<DeliveryReport> report = FormatDeliveryReport(input_);
  ASSERT_TRUE(report);
  ExpectWellFormedLines(report->message);
  EXPECT_EQ(report->body, Body::k7Bit);
  EXPECT_FALSE(report->smtpUtf8);

  const GOwned<GMimeMessage> parsed = Parse(report->message);
  ASSERT_TRUE(parsed);
  GMimeObject* head = GMIME_OBJECT(parsed.get());
  EXPECT_EQ(Header(head, "To"), "<sender@example.org>");
  EXPECT_EQ(Header(head, "From"),
            "Mail Delivery System <MAILER-DAEMON@mx.ours.example>");
  EXPECT_EQ(Header(head, "Auto-Submitted"), "auto-replied");
  EXPECT_EQ(Header(head, "Subject"), "Undelivered Mail Returned to Sender");
  ASSERT_NE(g_mime_message_get_date(parsed.get()), nullptr);
  EXPECT_EQ(g_date_time_to_unix(g_mime_message_get_date(parsed.get())), kNow);
  EXPECT_NE(g_mime_message_get_message_id(parsed.get()), nullptr);

  GMimeObject* top = g_mime_message_get_mime_part(parsed.get());
  ASSERT_EQ(MimeType(top), "multipart/report");
  EXPECT_STREQ(g_mime_object_get_content_type_parameter(top, "report-type"),
               "delivery-status");
  GMimeMultipart* multipart = GMIME_MULTIPART(top);
  ASSERT_EQ(g_mime_multipart_get_count(multipart), 3);
  EXPECT_EQ(MimeType(g_mime_multipart_get_part(multipart, 0)), "text/plain");
  EXPECT_EQ(MimeType(g_mime_multipart_get_part(multipart, 1)),
            "message/delivery-status");
  EXPECT_EQ(MimeType(g_mime_multipart_get_part(multipart, 2)),
            "text/rfc822-headers");

  const std::vector<RawPart> parts = RawParts(report->message, top);
  ASSERT_EQ(parts.size(), 3u);
  for (const char* named : {"anna@example.com", "carl@example.com",
                            "erik@example.com", "550 5.1.1 User unknown"}) {
    EXPECT_NE(parts[0].content.find(named), std::string::npos) << named;
  }
  for (const char* left : {"bert@", "dora@"}) {
    EXPECT_EQ(report->message.find(left), std::string::npos) << left;
  }

  const std::vector<Fields> blocks = StatusBlocks(parts[1].content);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0],
            (Fields{{"Reporting-MTA", "dns; mx.ours.example"},
                    {"Original-Envelope-Id", "QQ314159"},
                    {"Arrival-Date", blocks[0].at("Arrival-Date")}}));
  GDateTime* arrival =
      g_mime_utils_header_decode_date(blocks[0].at("Arrival-Date").c_str());
  ASSERT_NE(arrival, nullptr);
  EXPECT_EQ(g_date_time_to_unix(arrival), kArrival);
  g_date_time_unref(arrival);
  EXPECT_EQ(blocks[1],
            (Fields{{"Original-Recipient", "rfc822; anna+x@example.com"},
                    {"Final-Recipient", "rfc822; anna@example.com"},
                    {"Action", "failed"},
                    {"Status", "5.1.1"},
                    {"Remote-MTA", "dns; mx.example.com"},
                    {"Diagnostic-Code", "smtp; 550 5.1.1 User unknown"}}));
  EXPECT_EQ(blocks[2], (Fields{{"Final-Recipient", "rfc822; carl@example.com"},
                               {"Action", "failed"},
                               {"Status", "4.4.7"},
                               {"Remote-MTA", "dns; mx2.example"},
                               {"Diagnostic-Code", "smtp; 451 Try later"}}));
  EXPECT_EQ(blocks[3], (Fields{{"Final-Recipient", "rfc822; erik@example.com"},
                               {"Action", "failed"},
                               {"Status", "5.0.0"}}));
}

class ReturnedContentTest : public DeliveryReportTest,
                            public ::testing::WithParamInterface<Ret> {};

TEST_P(ReturnedContentTest, CarriesWhatRetAsked) {
  input_.mail.ret = GetParam();
  input_.recipients = {Failed("anna@example.com", 0,
                              Reply(550, "5.1.1", "User unknown"),
                              "mx.example.com")};
  const std::optional<DeliveryReport> report = FormatDeliveryReport(input_);
  ASSERT_TRUE(report);
  ExpectWellFormedLines(report->message);
  const GOwned<GMimeMessage> parsed = Parse(report->message);
  ASSERT_TRUE(parsed);
  GMimeObject* top = g_mime_message_get_mime_part(parsed.get());
  ASSERT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(top)), 3);
  GMimeObject* returned = g_mime_multipart_get_part(GMIME_MULTIPART(top), 2);
  const std::vector<RawPart> parts = RawParts(report->message, top);
  ASSERT_EQ(parts.size(), 3u);
  if (GetParam() == Ret::kFull) {
    EXPECT_EQ(MimeType(returned), "message/rfc822");
    EXPECT_EQ(parts[2].content, message_);
  } else {
    EXPECT_EQ(MimeType(returned), "text/rfc822-headers");
    EXPECT_EQ(parts[2].content, kHeaders);
    EXPECT_EQ(report->message.find("Regards"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Ret, ReturnedContentTest,
                         ::testing::Values(Ret::kFull, Ret::kHdrs,
                                           MailParams().ret));

TEST_F(DeliveryReportTest, NoReportForABounceOrWhenNoOneAsked) {
  input_.recipients = {
      Failed("anna@example.com", kNotifyNever, Reply(550, "", "No"), "mx"),
      Failed("bert@example.com", kNotifySuccess | kNotifyDelay,
             Reply(550, "", "No"), "mx")};
  EXPECT_FALSE(FormatDeliveryReport(input_));
  input_.recipients.push_back(
      Failed("carl@example.com", 0, Reply(550, "", "No"), "mx"));
  EXPECT_TRUE(FormatDeliveryReport(input_));
  input_.reversePath.clear();
  EXPECT_FALSE(FormatDeliveryReport(input_));
}

TEST_F(DeliveryReportTest, HostileTextStaysOnItsLine) {
  input_.mail.ret = Ret::kFull;
  input_.mail.envid = "QQ\r\nBcc: victim@example.net";
  const std::string longLine(1500, 'x');
  const std::string message =
      std::string(kHeaders) + "\r\n" + longLine + "\r\nshort\r\n";
  input_.message = message;
  Reply reply(550, "5.7.1", "Refused\r\nBcc: victim@example.net");
  reply.lines.push_back("X-Injected: yes\n");
  reply.lines.push_back(std::string(3000, 'y'));
  for (int i = 0; i < 300; ++i) reply.lines.back() += " word";
  FailedRecipient utf8 = Failed("jörg@example.de", kNotifyFailure, reply,
                                "mx.example.com\r\nX-Evil: 1");
  input_.recipients = {utf8};

  const std::optional<DeliveryReport> report = FormatDeliveryReport(input_);
  ASSERT_TRUE(report);
  ExpectWellFormedLines(report->message);
  EXPECT_EQ(report->body, Body::k8BitMime);
  EXPECT_FALSE(report->smtpUtf8);
  const GOwned<GMimeMessage> parsed = Parse(report->message);
  ASSERT_TRUE(parsed);
  for (const char* injected : {"Bcc", "X-Injected", "X-Evil"}) {
    EXPECT_EQ(Header(GMIME_OBJECT(parsed.get()), injected), "(none)");
  }
  GMimeObject* top = g_mime_message_get_mime_part(parsed.get());
  ASSERT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(top)), 3);
  EXPECT_EQ(MimeType(g_mime_multipart_get_part(GMIME_MULTIPART(top), 1)),
            "message/global-delivery-status");
  const std::vector<RawPart> parts = RawParts(report->message, top);
  ASSERT_EQ(parts.size(), 3u);
  const std::vector<Fields> blocks = StatusBlocks(parts[1].content);
  ASSERT_EQ(blocks.size(), 2u);
  for (const auto& [name, value] : blocks[1]) {
    EXPECT_TRUE(name == "Final-Recipient" || name == "Action" ||
                name == "Status" || name == "Remote-MTA" ||
                name == "Diagnostic-Code")
        << name;
  }
  EXPECT_EQ(blocks[0].at("Original-Envelope-Id"),
            "QQ  Bcc: victim@example.net");
  EXPECT_EQ(blocks[1].at("Final-Recipient"), "utf-8; jörg@example.de");
  EXPECT_TRUE(blocks[1].at("Remote-MTA").starts_with("dns; mx.example.com"));
  EXPECT_EQ(blocks[1].at("Status"), "5.7.1");
  EXPECT_TRUE(blocks[1]
                  .at("Diagnostic-Code")
                  .starts_with("smtp; 550 5.7.1 Refused  Bcc: "
                               "victim@example.net X-Injected: yes  yyy"));
}

}  // namespace
}  // namespace vt::smtp

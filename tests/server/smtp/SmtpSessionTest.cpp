// The listener's protocol as a client meets it: Postfix's pipelined
// transaction with XFORWARD and DSN, the same answers whatever the chunks,
// every limit, LMTP's replies per recipient, and a client that stalls.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "SessionDriver.h"

namespace vt::smtp {
namespace {

using testing::Message;
using testing::ReplyCodes;
using testing::SessionDriver;

SessionOptions Options() {
  SessionOptions options;
  options.hostName = "filter.test";
  options.maxMessageSize = 100;
  options.maxRecipients = 2;
  options.maxDataLine = 100;
  options.maxErrors = 20;
  return options;
}

// What Postfix sends to an after-queue content filter that announces
// PIPELINING and XFORWARD, in one write after the EHLO reply.
constexpr std::string_view kPostfixTransaction =
    "XFORWARD NAME=mail.sender.example ADDR=IPV6:2001:db8::25 PORT=40321 "
    "HELO=mail.sender.example\r\n"
    "XFORWARD PROTO=ESMTP SOURCE=REMOTE IDENT=4XyZ1q2w3\r\n"
    "MAIL FROM:<alice@sender.example> SIZE=60 BODY=8BITMIME RET=HDRS "
    "ENVID=msg+2B1@sender.example\r\n"
    "RCPT TO:<bob@example.com> NOTIFY=SUCCESS,FAILURE "
    "ORCPT=rfc822;bob+40example.com\r\n"
    "RCPT TO:<\"carol smith\"@[192.0.2.7]> NOTIFY=NEVER\r\n"
    "DATA\r\n"
    "Subject: hi\r\n\r\n..leading dot\r\nline\r\n.\r\n"
    "QUIT\r\n";

TEST(SmtpSession, PostfixPipelinedTransactionIsAnsweredOnlyWhenDurable) {
  SessionOptions options = Options();
  options.xforward = true;
  SessionDriver driver(options, std::nullopt);
  driver.Feed(
      std::string("EHLO mx.example.net\r\n").append(kPostfixTransaction));

  const std::string before =
      "220 filter.test ESMTP\r\n"
      "250-filter.test\r\n250-PIPELINING\r\n250-SIZE 100\r\n250-8BITMIME\r\n"
      "250-SMTPUTF8\r\n250-ENHANCEDSTATUSCODES\r\n250-DSN\r\n"
      "250 XFORWARD NAME ADDR PROTO HELO SOURCE PORT IDENT\r\n"
      "250 2.0.0 Ok\r\n250 2.0.0 Ok\r\n250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n"
      "250 2.1.5 Ok\r\n354 End data with <CR><LF>.<CR><LF>\r\n";
  // The QUIT behind the dot waits for the outcome, and so does its reply.
  EXPECT_EQ(driver.output(), before);
  EXPECT_EQ(driver.session().phase(), Phase::kAwaitingOutcome);
  EXPECT_EQ(driver.session().bufferedInput(), 6u);

  ASSERT_EQ(driver.messages().size(), 1u);
  const Message& m = driver.messages()[0];
  EXPECT_EQ(m.data, "Subject: hi\r\n\r\n.leading dot\r\nline\r\n");
  const Envelope& e = m.envelope;
  EXPECT_EQ(e.greeting, Greeting::kEhlo);
  EXPECT_EQ(e.heloName, "mx.example.net");
  EXPECT_EQ(e.reversePath, "alice@sender.example");
  EXPECT_EQ(e.mail, (MailParams{60, Body::k8BitMime, false, Ret::kHdrs,
                                "msg+1@sender.example"}));
  const std::vector<Recipient> recipients = {
      {"bob@example.com",
       {kNotifySuccess | kNotifyFailure, Orcpt{"rfc822", "bob@example.com"}}},
      {"\"carol smith\"@[192.0.2.7]", {kNotifyNever, std::nullopt}}};
  EXPECT_EQ(e.recipients, recipients);
  Xforward xforward;
  xforward[XforwardAttribute::kName] = "mail.sender.example";
  xforward[XforwardAttribute::kAddr] = "IPV6:2001:db8::25";
  xforward[XforwardAttribute::kPort] = "40321";
  xforward[XforwardAttribute::kHelo] = "mail.sender.example";
  xforward[XforwardAttribute::kProto] = "ESMTP";
  xforward[XforwardAttribute::kSource] = "REMOTE";
  xforward[XforwardAttribute::kIdent] = "4XyZ1q2w3";
  EXPECT_EQ(e.xforward, xforward);

  driver.Answer(Reply(250, "2.0.0", "Ok: queued as 7"));
  EXPECT_EQ(driver.output(),
            before + "250 2.0.0 Ok: queued as 7\r\n221 2.0.0 Bye\r\n");
  EXPECT_TRUE(driver.session().closed());
  // The next transaction starts without the last one's XFORWARD.
  EXPECT_TRUE(driver.session().envelope().xforward.empty());
}

// Each script is fed whole, a byte at a time and in chunks of 7 and 64: the
// replies, the events and every message must come out the same.
TEST(SmtpSession, ChunksDoNotChangeTheConversation) {
  SessionOptions xforward = Options();
  xforward.xforward = true;
  xforward.maxMessageSize = 10000;
  const std::vector<std::pair<SessionOptions, std::string>> scripts = {
      {xforward, "EHLO mx\r\n" + std::string(kPostfixTransaction)},
      {Options(),
       "EHLO c\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\nDATA\r\n"
       "a\r\n.\r\r\n..\r\n.x\r\n\r\n.\r\nNOOP " +
           std::string(3000, 'x') + "\r\nNOOP\r\nQUIT\r\n"},
      {Options(), "EHLO c\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\nDATA\r\n" +
                      std::string(500, 'y') + "\r\n.\r\nRSET\r\nQUIT\r\n"},
  };
  for (const auto& [options, script] : scripts) {
    SessionDriver whole(options);
    whole.Feed(script);
    ASSERT_TRUE(whole.session().closed()) << script;
    for (const size_t chunk : {1, 7, 64}) {
      SessionDriver split(options);
      split.Feed(script, chunk);
      EXPECT_EQ(split.output(), whole.output()) << chunk;
      EXPECT_EQ(split.events(), whole.events()) << chunk;
      ASSERT_EQ(split.messages().size(), whole.messages().size());
      for (size_t i = 0; i < whole.messages().size(); ++i) {
        EXPECT_EQ(split.messages()[i].data, whole.messages()[i].data);
        EXPECT_EQ(split.messages()[i].envelope.recipients,
                  whole.messages()[i].envelope.recipients);
      }
    }
  }
}

struct LimitCase {
  const char* name;
  std::function<void(SessionOptions*)> configure;
  std::string input;                 // after EHLO
  std::vector<std::string> replies;  // after the greeting and EHLO's
  std::vector<std::string> events = {};
};

constexpr char kMail[] = "MAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\n";

TEST(SmtpSession, LimitsAndProtocolErrorsGetTheirReplies) {
  const auto none = [](SessionOptions*) {};
  const std::string m = kMail;
  const std::vector<LimitCase> cases = {
      {"command line over the limit",
       none,
       "NOOP " + std::string(2100, 'a') + "\r\nNOOP\r\n",
       {"500 5.5.2", "250 2.0.0"}},
      {"NUL in a command",
       none,
       std::string("NO\0OP\r\nNOOP\r\n", 13),
       {"500 5.5.2", "250 2.0.0"}},
      {"bare LF ends no command",
       none,
       "NOOP\nNOOP\r\n",
       {"500 5.5.2", "250 2.0.0"}},
      {"bare LF in the data",
       none,
       m + "DATA\r\nab\ncd\r\n.\r\nNOOP\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "554 5.6.0", "250 2.0.0"},
       {"begins", "refused 554"}},
      {"bare CR in the data",
       none,
       m + "DATA\r\nab\rcd\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "554 5.6.0"},
       {"begins", "refused 554"}},
      // A smuggled second message behind "\n.\n" or "\r\n.\n" stays data.
      {"smuggling with bare line ends",
       none,
       m + "DATA\r\nab\n.\nMAIL FROM:<x@y.z>\r\nRCPT TO:<d@e.f>\r\n"
           "DATA\r\nin\r\n.\nRSET\r\n\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "554 5.6.0"},
       {"begins", "refused 554"}},
      {"declared size over the limit",
       none,
       "MAIL FROM:<a@b.c> SIZE=101\r\n",
       {"552 5.3.4"}},
      {"data over the size limit",
       none,
       m + "DATA\r\n" + std::string(60, 'z') + "\r\n" + std::string(60, 'z') +
           "\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "552 5.3.4"},
       {"begins", "refused 552"}},
      {"data at the size limit",
       none,
       m + "DATA\r\n" + std::string(60, 'z') + "\r\n" + std::string(36, 'z') +
           "\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "250 2.0.0"},
       {"begins", "complete"}},
      {"recipients over the limit",
       none,
       m + "RCPT TO:<g@h.i>\r\nRCPT TO:<j@k.l>\r\nDATA\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "250 2.1.5", "452 4.5.3", "354", "250 2.0.0"},
       {"begins", "complete"}},
      {"data line over the limit",
       none,
       m + "DATA\r\n" + std::string(99, 'w') + "\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "554 5.6.0"},
       {"begins", "refused 554"}},
      {"data line at the limit, a stuffed dot not counted",
       none,
       m + "DATA\r\n." + std::string(98, 'w') + "\r\n.\r\n",
       {"250 2.1.0", "250 2.1.5", "354", "250 2.0.0"},
       {"begins", "complete"}},
      {"too many errors in a row",
       [](SessionOptions* o) { o->maxErrors = 3; },
       "FOO\r\nBAR\r\nNOOP\r\nA\r\nB\r\nC\r\nNOOP\r\n",
       {"500 5.5.2", "500 5.5.2", "250 2.0.0", "500 5.5.2", "500 5.5.2",
        "500 5.5.2", "421 4.7.0"}},
      {"sequence",
       none,
       "RCPT TO:<a@b.c>\r\nDATA\r\nMAIL FROM:<a@b.c>\r\nMAIL FROM:<a@b.c>\r\n"
       "DATA\r\nRCPT TO:<bad\r\nDATA\r\nRSET\r\n",
       {"503 5.5.1", "503 5.5.1", "250 2.1.0", "503 5.5.1", "503 5.5.1",
        "501 5.1.3", "554 5.5.1", "250 2.0.0"}},
      {"XFORWARD from a client not allowed to",
       none,
       "XFORWARD NAME=a.b\r\n",
       {"550 5.7.0"}},
      {"XFORWARD inside a transaction",
       [](SessionOptions* o) { o->xforward = true; },
       "MAIL FROM:<>\r\nXFORWARD NAME=a.b\r\n",
       {"250 2.1.0", "503 5.5.1"}},
      {"UTF-8 address needs SMTPUTF8",
       none,
       "MAIL FROM:<j\xC3\xB6@b.c>\r\nMAIL FROM:<j\xC3\xB6@b.c> SMTPUTF8\r\n"
       "RCPT TO:<\xC3\xB6@\xC3\xB6.c>\r\n",
       {"553 5.6.7", "250 2.1.0", "250 2.1.5"}},
      {"not offered, unknown, HELO in between",
       none,
       "STARTTLS\r\nBDAT 10\r\nEXPN x\r\nXYZZY\r\nHELO again\r\nMAIL "
       "FROM:<>\r\n",
       {"502 5.5.1", "502 5.5.1", "502 5.5.1", "500 5.5.2", "250",
        "250 2.1.0"}},
  };
  for (const LimitCase& c : cases) {
    SessionOptions options = Options();
    c.configure(&options);
    SessionDriver driver(options);
    driver.Feed("EHLO client.test\r\n" + c.input);
    std::vector<std::string> replies = ReplyCodes(driver.output());
    ASSERT_GE(replies.size(), 2u) << c.name;
    replies.erase(replies.begin(), replies.begin() + 2);
    EXPECT_EQ(replies, c.replies) << c.name;
    EXPECT_EQ(driver.events(), c.events) << c.name;
    EXPECT_LE(driver.largestData(), options.maxMessageSize) << c.name;
  }
}

TEST(SmtpSession, MailWaitsForTheGreetingAndEhloAnnouncesALimit) {
  SessionOptions options = Options();
  options.maxMessageSize = 0;
  SessionDriver driver(options);
  driver.Feed("MAIL FROM:<a@b.c>\r\nLHLO x\r\nEHLO x\r\nMAIL FROM:<a@b.c>\r\n");
  EXPECT_EQ(ReplyCodes(driver.output()),
            (std::vector<std::string>{"220", "503 5.5.1", "500 5.5.2", "250",
                                      "250 2.1.0"}));
  // No limit is never what EHLO announces.
  EXPECT_NE(driver.output().find("250-SIZE 52428800\r\n"), std::string::npos);
}

TEST(SmtpSession, LmtpAnswersEachAcceptedRecipient) {
  SessionOptions options = Options();
  options.lmtp = true;
  SessionDriver driver(options, std::nullopt);
  driver.Feed(
      "EHLO x\r\nLHLO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<one@b.c>\r\n"
      "RCPT TO:<bad>\r\nRCPT TO:<two@b.c>\r\nDATA\r\nhi\r\n.\r\n"
      "MAIL FROM:<a@b.c>\r\nRCPT TO:<one@b.c>\r\nRCPT TO:<two@b.c>\r\n"
      "DATA\r\nagain\r\n.\r\n");
  ASSERT_EQ(driver.session().phase(), Phase::kAwaitingOutcome);
  // One reply per accepted recipient, not per RCPT, and none for SMTP.
  EXPECT_TRUE(
      driver.session().Answer(Reply(354, "", "x")).Is(err::kInvalidArgument));
  const std::vector<Reply> one = {Reply(250, "2.0.0", "Ok")};
  EXPECT_TRUE(driver.session().AnswerEach(one).Is(err::kInvalidArgument));
  const std::vector<Reply> each = {Reply(250, "2.1.5", "one delivered"),
                                   Reply(452, "4.2.2", "two over quota")};
  ASSERT_TRUE(driver.session().AnswerEach(each).ok());
  ASSERT_EQ(driver.session().phase(), Phase::kAwaitingOutcome);
  driver.Answer(Reply(451, "4.3.0", "store unavailable"));
  EXPECT_EQ(
      ReplyCodes(driver.output()),
      (std::vector<std::string>{
          "220", "500 5.5.1", "250", "250 2.1.0", "250 2.1.5", "501 5.1.3",
          "250 2.1.5", "354", "250 2.1.5", "452 4.2.2", "250 2.1.0",
          "250 2.1.5", "250 2.1.5", "354", "451 4.3.0", "451 4.3.0"}));
  EXPECT_NE(driver.output().find("220 filter.test LMTP\r\n"),
            std::string::npos);
}

TEST(SmtpSession, StalledClientKeepsItsPhaseUntilTheOwnersTimeout) {
  SessionDriver driver(Options());
  driver.Feed("EHLO x\r\n" + std::string(kMail) + "DATA\r\npart of a li");
  EXPECT_EQ(driver.session().phase(), Phase::kData);
  driver.Feed("");
  EXPECT_EQ(driver.session().phase(), Phase::kData);

  driver.session().Close(CloseReason::kTimeout);
  EXPECT_TRUE(driver.session().closed());
  EXPECT_EQ(driver.session().TakeOutput(),
            "421 4.4.2 filter.test Timeout, closing connection\r\n");
  // Whatever comes after is dropped, answered by nothing.
  EXPECT_EQ(driver.session().Feed("ne\r\n.\r\nQUIT\r\n"), 13u);
  EXPECT_EQ(driver.session().TakeOutput(), "");
  EXPECT_EQ(driver.events(), (std::vector<std::string>{"begins"}));
  EXPECT_FALSE(driver.session().WantsInput());
}

TEST(SmtpSession, InputBehindAnAwaitedMessageIsBoundedAndKeptInOrder) {
  SessionOptions options = Options();
  options.maxBufferedInput = 4096;
  SessionDriver driver(options, std::nullopt);
  std::string more;
  for (int i = 0; i < 1000; ++i) more += "NOOP\r\n";
  driver.Feed("EHLO x\r\n" + std::string(kMail) + "DATA\r\n.\r\n" + more);
  EXPECT_EQ(driver.session().bufferedInput(), 4096u);
  EXPECT_FALSE(driver.session().WantsInput());
  driver.Answer(Reply(250, "2.0.0", "Ok"));
  const std::vector<std::string> replies = ReplyCodes(driver.output());
  ASSERT_EQ(replies.size(), 6u + 1000u);
  EXPECT_EQ(replies[5], "250 2.0.0");
  EXPECT_TRUE(driver.session().WantsInput());
}

}  // namespace
}  // namespace vt::smtp

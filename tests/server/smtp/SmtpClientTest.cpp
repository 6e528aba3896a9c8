// The delivery side: a next hop's replies read whole or byte by byte and
// refused when they are not replies; an envelope the listener took, written
// out again, reads back the same; a message stuffed and decoded is itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SessionDriver.h"
#include "server/smtp/SmtpClient.h"
#include "server/smtp/SmtpData.h"
#include "server/smtp/Xtext.h"

namespace vt::smtp {
namespace {

struct ReplyCase {
  std::string input;
  bool good;
  int code = 0;
  std::string enhanced;
  std::vector<std::string> lines;
};

TEST(ReplyParser, ReadsWholeRepliesAndRefusesWhatIsNone) {
  const std::vector<ReplyCase> cases = {
      {"250-mx.example\r\n250-PIPELINING\r\n250 SIZE 1000\r\n",
       true,
       250,
       "",
       {"mx.example", "PIPELINING", "SIZE 1000"}},
      {"550-5.1.1 no such\r\n550-5.1.1 user\r\n550 5.1.1 here\r\n",
       true,
       550,
       "5.1.1",
       {"no such", "user", "here"}},
      {"250 2.0.0\r\n", true, 250, "2.0.0", {""}},
      {"220\n", true, 220, "", {""}},
      {"250 4.0.0 another class\r\n", true, 250, "", {"4.0.0 another class"}},
      {"250-a\r\n251 b\r\n", false, 0, "", {}},
      {"2x0 a\r\n", false, 0, "", {}},
      {"250a\r\n", false, 0, "", {}},
      {"25\r\n", false, 0, "", {}},
      {"600 x\r\n", false, 0, "", {}},
      {"250 " + std::string(3000, 'a'), false, 0, "", {}},
      {[] {
         std::string many;
         for (int i = 0; i < 101; ++i) many += "250-a\r\n";
         return many;
       }(),
       false,
       0,
       "",
       {}},
  };
  for (const ReplyCase& c : cases) {
    for (const size_t chunk : {c.input.size(), size_t{1}}) {
      ReplyParser parser;
      std::string_view input = c.input;
      while (!input.empty() && !parser.ready() && !parser.failed()) {
        const size_t n = parser.Feed(input.substr(0, chunk));
        if (n == 0) break;
        input.remove_prefix(n);
      }
      ASSERT_EQ(parser.ready(), c.good) << c.input;
      EXPECT_EQ(parser.failed(), !c.good) << c.input;
      if (!c.good) continue;
      EXPECT_TRUE(input.empty());
      const Reply reply = parser.Take();
      EXPECT_EQ(reply.code, c.code);
      EXPECT_EQ(reply.enhanced, c.enhanced);
      EXPECT_EQ(reply.lines, c.lines);
    }
  }
}

TEST(ReplyParser, PipelinedRepliesAreTakenOneAtATime) {
  ReplyParser parser;
  const std::string_view both = "250 2.1.0 Ok\r\n354 go\r\n";
  EXPECT_EQ(parser.Feed(both), 14u);
  EXPECT_EQ(parser.Feed(both.substr(14)), 0u);
  EXPECT_EQ(parser.Take().code, 250);
  EXPECT_EQ(parser.Feed(both.substr(14)), 8u);
  EXPECT_EQ(parser.Take().text(), "go");
}

TEST(SmtpClient, EnvelopeWrittenForTheNextHopReadsBackTheSame) {
  SessionOptions options;
  options.xforward = true;
  options.maxMessageSize = 12345;
  testing::SessionDriver driver(options);
  driver.Feed("EHLO x\r\n");
  ReplyParser parser;
  const std::string ehlo =
      driver.output().substr(driver.output().find("\r\n") + 2);
  ASSERT_EQ(parser.Feed(ehlo), ehlo.size());
  const ServerFeatures all = ParseEhloReply(parser.Take());
  EXPECT_TRUE(all.pipelining && all.size && all.eightBitMime && all.smtpUtf8 &&
              all.enhancedStatusCodes && all.dsn);
  EXPECT_EQ(all.maxSize, 12345u);
  for (const bool taken : all.xforward) EXPECT_TRUE(taken);

  const MailParams mail{7, Body::k8BitMime, true, Ret::kFull, "id+=x y"};
  const RcptParams rcpt{kNotifyFailure | kNotifyDelay,
                        Orcpt{"utf-8", "\xC3\xB6 <a=b>@c.d"}};
  Xforward xforward;
  xforward[XforwardAttribute::kName] = "[UNAVAILABLE]";
  xforward[XforwardAttribute::kHelo] = std::string(85, '+');  // 255 as xtext
  xforward[XforwardAttribute::kIdent] = std::string(230, 'q');

  MailCommand mailBack;
  const std::string mailLine = FormatMailFrom("\xC3\xB6@b.c", mail, all);
  ASSERT_TRUE(mailLine.ends_with("\r\n"));
  const CommandLine mailCommand =
      SplitCommand(std::string_view(mailLine).substr(0, mailLine.size() - 2));
  ASSERT_EQ(mailCommand.verb, Verb::kMail);
  ASSERT_FALSE(ParseMail(mailCommand.argument, PathLimits(), &mailBack));
  EXPECT_EQ(mailBack.reversePath, "\xC3\xB6@b.c");
  EXPECT_EQ(mailBack.params, mail);

  RcptCommand rcptBack;
  const std::string rcptLine = FormatRcptTo("d@e.f", rcpt, all, true);
  ASSERT_FALSE(ParseRcpt(
      SplitCommand(std::string_view(rcptLine).substr(0, rcptLine.size() - 2))
          .argument,
      true, PathLimits(), &rcptBack));
  EXPECT_EQ(rcptBack.params, rcpt);

  // Two lines, each within 512 octets, that together give it all back.
  const std::string commands = FormatXforward(xforward, all);
  Xforward xforwardBack;
  size_t lines = 0;
  for (size_t at = 0; at < commands.size(); ++lines) {
    const size_t end = commands.find("\r\n", at);
    ASSERT_LE(end + 2 - at, kMaxCommandLine);
    const CommandLine line =
        SplitCommand(std::string_view(commands).substr(at, end - at));
    ASSERT_EQ(line.verb, Verb::kXforward);
    ASSERT_FALSE(ParseXforward(line.argument, &xforwardBack)) << line.argument;
    at = end + 2;
  }
  EXPECT_EQ(lines, 2u);
  EXPECT_EQ(xforwardBack, xforward);

  // A server that announces nothing gets no parameter at all.
  const ServerFeatures none;
  EXPECT_EQ(FormatMailFrom("", mail, none), "MAIL FROM:<>\r\n");
  EXPECT_EQ(FormatRcptTo("d@e.f", rcpt, none, true), "RCPT TO:<d@e.f>\r\n");
  EXPECT_EQ(FormatXforward(xforward, none), "");
}

TEST(SmtpData, StuffedMessageDecodesToItself) {
  const std::vector<std::pair<std::string, std::string>> messages = {
      {"", ""},
      {"a", "a\r\n"},
      {".", ".\r\n"},
      {"..\r\n.\r\n", "..\r\n.\r\n"},
      {"a\r\n.\r\nb\r\n", "a\r\n.\r\nb\r\n"},
      {"\r\n\r\n.", "\r\n\r\n.\r\n"},
      // Bare line ends go out as CRLF, so the next hop has one reading.
      {"a\n.\nb\rc\r", "a\r\n.\r\nb\r\nc\r\n"},
  };
  for (const auto& [message, expected] : messages) {
    for (const size_t chunk : {message.size() + 1, size_t{1}}) {
      DotStuffer stuffer;
      std::string wire;
      for (size_t at = 0; at < message.size(); at += chunk) {
        stuffer.Add(std::string_view(message).substr(at, chunk), &wire);
      }
      stuffer.Finish(&wire);
      DataDecoder decoder(1000, 1000);
      std::string decoded;
      const std::string then = wire + "QUIT\r\n";
      EXPECT_EQ(decoder.Decode(then, &decoded), wire.size()) << message;
      EXPECT_TRUE(decoder.done());
      EXPECT_EQ(decoder.fault(), DataFault::kNone);
      EXPECT_EQ(decoded, expected);
    }
  }
}

TEST(Xtext, EncodesWhatXtextCannotCarryAndDecodesItBack) {
  const std::string text = "a+b=c d\x01\xC3\xA9";
  EXPECT_EQ(XtextEncode(text), "a+2Bb+3Dc+20d+01+C3+A9");
  EXPECT_EQ(XtextEncode(text, true), "a+2Bb+3Dc+20d+01\xC3\xA9");
  std::string decoded;
  ASSERT_TRUE(XtextDecode(XtextEncode(text), false, &decoded));
  EXPECT_EQ(decoded, text);
  ASSERT_TRUE(XtextDecode("x+2by", false, &decoded));
  EXPECT_EQ(decoded, "x+y");
  for (const char* bad : {"+2", "a+G0", "a=b", "a b", "\xC3\xA9"}) {
    EXPECT_FALSE(XtextDecode(bad, false, &decoded)) << bad;
  }
  EXPECT_TRUE(XtextDecode("\xC3\xA9", true, &decoded));
}

}  // namespace
}  // namespace vt::smtp

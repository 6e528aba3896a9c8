// MAIL, RCPT and XFORWARD arguments as clients write them, good and bad:
// what is taken from each, and the exact reply to each mistake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/smtp/SmtpCommand.h"

namespace vt::smtp {
namespace {

enum class Kind { kMail, kRcpt, kRcptUtf8, kXforward };

struct ArgumentCase {
  Kind kind;
  std::string argument;
  std::string reply;    // "code enhanced" of the refusal, empty when taken
  std::string address;  // the path taken
};

std::string RefusalOf(const ArgumentCase& c, std::string* address) {
  Refusal refused;
  if (c.kind == Kind::kMail) {
    MailCommand mail;
    refused = ParseMail(c.argument, PathLimits(), &mail);
    *address = mail.reversePath;
  } else if (c.kind == Kind::kXforward) {
    Xforward xforward;
    refused = ParseXforward(c.argument, &xforward);
  } else {
    RcptCommand rcpt;
    refused =
        ParseRcpt(c.argument, c.kind == Kind::kRcptUtf8, PathLimits(), &rcpt);
    *address = rcpt.forwardPath;
  }
  if (!refused) return "";
  EXPECT_TRUE(IsSendable(*refused)) << c.argument;
  return std::to_string(refused->code) + " " + refused->enhanced;
}

TEST(SmtpCommand, ArgumentsAreTakenOrRefusedWithTheRightReply) {
  const std::string local64(64, 'l');
  // 256 octets with the brackets: the longest path.
  const std::string longest = std::string(60, 'l') + "@" +
                              std::string(96, 'd') + "." + std::string(96, 'e');
  const std::vector<ArgumentCase> cases = {
      {Kind::kMail, "FROM:<a@b.c>", "", "a@b.c"},
      {Kind::kMail, "from: <a@b.c>", "", "a@b.c"},
      {Kind::kMail, "FROM:<>", "", ""},
      {Kind::kMail, "FROM:<@x.y,@z.w:a@b.c> SIZE=10", "", "a@b.c"},
      {Kind::kMail, "FROM:<\"a b\\\"c\"@b.c>", "", "\"a b\\\"c\"@b.c"},
      {Kind::kMail, "FROM:<a@[192.0.2.1]>", "", "a@[192.0.2.1]"},
      {Kind::kMail, "FROM:<a@[IPv6:2001:db8::1]>", "", "a@[IPv6:2001:db8::1]"},
      {Kind::kMail, "FROM:<a@[x-tag:any]>", "", "a@[x-tag:any]"},
      {Kind::kMail, "FROM:<a@b_c.d>", "", "a@b_c.d"},
      {Kind::kMail, "FROM:<" + local64 + "@b.c>", "", local64 + "@b.c"},
      {Kind::kMail, "FROM:<" + local64 + "l@b.c>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<" + longest + ">", "", longest},
      {Kind::kRcpt, "TO:<" + longest + "e>", "501 5.1.3", ""},
      {Kind::kMail, "FROM:a@b.c", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a@b.c", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a..b@c.d>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<.a@b.c>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a@-b.c>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a@b.c.>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a@[256.1.1.1]>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a@[IPv6:2001:db8::g]>", "501 5.1.7", ""},
      {Kind::kMail, "FROM:<a>", "501 5.1.7", ""},
      {Kind::kMail, "FROM<a@b.c>", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c>SIZE=1", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> SIZE=abc", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> SIZE=123456789012345678901", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> SIZE=1 size=2", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> BODY=BINARYMIME", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> SMTPUTF8=yes", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> RET=FULL RET=HDRS", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> ENVID=a+2", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> ENVID=", "501 5.5.4", ""},
      {Kind::kMail, "FROM:<a@b.c> ENVID=" + std::string(101, 'e'), "501 5.5.4",
       ""},
      {Kind::kMail, "FROM:<a@b.c> AUTH=<>", "555 5.5.4", ""},
      {Kind::kMail, "FROM:<j\xC3\xB6@b.c>", "553 5.6.7", ""},
      {Kind::kMail, "FROM:<j\xC3\xB6@b.c> SMTPUTF8", "", "j\xC3\xB6@b.c"},
      {Kind::kMail, "FROM:<j\xC3@b.c> SMTPUTF8", "501 5.1.7", ""},
      {Kind::kRcpt, "TO:<d@e.f> NOTIFY=DELAY ORCPT=rfc822;d+40e.f", "",
       "d@e.f"},
      {Kind::kRcpt, "TO:<Postmaster>", "", "Postmaster"},
      {Kind::kRcpt, "TO:<>", "501 5.1.3", ""},
      {Kind::kRcpt, "TO:<user>", "501 5.1.3", ""},
      {Kind::kRcpt, "TO <d@e.f>", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> NOTIFY=NEVER,SUCCESS", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> NOTIFY=SUCCESS,", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> ORCPT=rfc822", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> ORCPT=;d", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> ORCPT=rfc822;a+0Ab", "501 5.5.4", ""},
      {Kind::kRcpt, "TO:<d@e.f> SIZE=1", "555 5.5.4", ""},
      {Kind::kRcpt, "TO:<\xC3\xB6@e.f>", "553 5.6.7", ""},
      {Kind::kRcptUtf8, "TO:<\xC3\xB6@e.f> ORCPT=utf-8;\xC3\xB6@e.f", "",
       "\xC3\xB6@e.f"},
      {Kind::kRcptUtf8, "TO:<\xFF@e.f>", "501 5.1.3", ""},
      {Kind::kXforward, "NAME=[UNAVAILABLE] ADDR=192.0.2.1 PORT=25", "", ""},
      {Kind::kXforward, "name=[TEMPUNAVAIL] addr=IPv6:::1 SOURCE=local", "",
       ""},
      {Kind::kXforward, "HELO=a+20b", "501 5.5.4", ""},
      {Kind::kXforward, "IDENT=", "501 5.5.4", ""},
      {Kind::kXforward, "FOO=1", "501 5.5.4", ""},
      {Kind::kXforward, "NAME", "501 5.5.4", ""},
      {Kind::kXforward, "", "501 5.5.4", ""},
  };
  for (const ArgumentCase& c : cases) {
    std::string address;
    EXPECT_EQ(RefusalOf(c, &address), c.reply) << c.argument;
    if (c.reply.empty()) {
      EXPECT_EQ(address, c.address) << c.argument;
    }
  }
}

TEST(SmtpCommand, XforwardIsTakenWholeOrNotAtAll) {
  Xforward xforward;
  ASSERT_FALSE(ParseXforward("NAME=a.example IDENT=Q1", &xforward));
  ASSERT_TRUE(ParseXforward("PROTO=ESMTP HELO=a+01", &xforward));
  EXPECT_FALSE(xforward[XforwardAttribute::kProto]);
  ASSERT_FALSE(ParseXforward("NAME=b.example HELO=h+2Bx", &xforward));
  EXPECT_EQ(xforward[XforwardAttribute::kName], "b.example");
  EXPECT_EQ(xforward[XforwardAttribute::kHelo], "h+x");
  EXPECT_EQ(xforward[XforwardAttribute::kIdent], "Q1");
  // A value that is not what its attribute holds costs no message.
  ASSERT_FALSE(ParseXforward(
      "NAME=-x PORT=70000 ADDR=300.1.1.1 SOURCE=ELSEWHERE PROTO=E+2BSMTP",
      &xforward));
  for (const XforwardAttribute a :
       {XforwardAttribute::kName, XforwardAttribute::kPort,
        XforwardAttribute::kAddr, XforwardAttribute::kSource}) {
    EXPECT_EQ(xforward[a], "[UNAVAILABLE]");
  }
  EXPECT_EQ(xforward[XforwardAttribute::kProto], "E+SMTP");
}

TEST(SmtpCommand, VerbsAreReadWithoutRegardToCase) {
  EXPECT_EQ(SplitCommand("mail FROM:<a@b.c> ").verb, Verb::kMail);
  EXPECT_EQ(SplitCommand("mail FROM:<a@b.c> ").argument, "FROM:<a@b.c>");
  EXPECT_EQ(SplitCommand("MAILFROM:<a@b.c>").verb, Verb::kUnknown);
  EXPECT_EQ(SplitCommand("StartTLS").verb, Verb::kNotOffered);
  EXPECT_EQ(SplitCommand("").verb, Verb::kUnknown);
}

}  // namespace
}  // namespace vt::smtp

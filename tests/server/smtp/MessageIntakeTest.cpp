// A message the listener takes becomes one note in a real store: the items
// the mail server's notes carry, decoded from the headers, the message byte
// for byte, the envelope read back with the listener's own parsers, the mark
// for the router in either interception mode; loops and failures are
// refused with nothing stored.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "databases/MailItems.h"
#include "databases/RouterItems.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "server/smtp/MessageIntake.h"
#include "support/FaultyNotes.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt::smtp {
namespace {

constexpr int64_t kReceived = 1765200000LL * 100;  // centiseconds

std::string Item(const ServerAdmin::NoteContents& note, std::string_view name) {
  for (const NoteItem& item : note.items) {
    if (item.name == name) {
      return std::string(item.value.begin(), item.value.end());
    }
  }
  return "(none)";
}

std::vector<std::string> List(const ServerAdmin::NoteContents& note,
                              std::string_view name) {
  for (const NoteItem& item : note.items) {
    if (item.name != name) continue;
    std::vector<std::string> out;
    if (const auto entries = item::DecodeTextList(item.value)) {
      for (std::string_view e : *entries) out.emplace_back(e);
    }
    return out;
  }
  return {"(none)"};
}

Envelope PostfixEnvelope() {
  Envelope e;
  e.greeting = Greeting::kEhlo;
  e.heloName = "mx.example.org";
  e.reversePath = "sender@example.org";
  e.mail.size = 1234;
  e.mail.body = Body::k8BitMime;
  e.mail.ret = Ret::kHdrs;
  e.mail.envid = "QQ314159";
  Recipient first;
  first.address = "anna@example.com";
  first.params.notify = kNotifySuccess | kNotifyFailure;
  first.params.orcpt = Orcpt{"rfc822", "anna+x@example.com"};
  Recipient second;
  second.address = "bert@example.com";
  e.recipients = {first, second};
  e.xforward[XforwardAttribute::kAddr] = "192.0.2.7";
  e.xforward[XforwardAttribute::kName] = "client.example.net";
  e.xforward[XforwardAttribute::kHelo] = "client";
  return e;
}

class MessageIntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    testing::CreateTestDatabase(*server_, "mail.box", "Mail box", {});
    mailBox_ = std::make_unique<Database>(*server_);
    ASSERT_TRUE(mailBox_->Open("mail.box").ok());
  }

  ServerAdmin::NoteContents Read(uint32_t noteId) {
    Note note(*server_);
    EXPECT_TRUE(note.Open(mailBox_->handle(), noteId).ok());
    ServerAdmin::NoteContents contents;
    EXPECT_TRUE(server_->ReadNote(note.handle(), &contents).ok());
    return contents;
  }

  size_t Documents() {
    size_t n = 0;
    ServerAdmin::ScanOptions all;
    EXPECT_TRUE(server_
                    ->ScanDocuments(mailBox_->handle(), all,
                                    [&](const ServerAdmin::Document&) {
                                      ++n;
                                      return Status();
                                    })
                    .ok());
    return n;
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<Database> mailBox_;
};

TEST_F(MessageIntakeTest,
       AMessageBecomesOneNoteWithItsHeadersEnvelopeAndBytes) {
  // Encoded words in two charsets, a group, a folded header, 8-bit body
  // bytes and a line with only a dot's remains.
  const std::string message =
      "Received: from client (client.example.net [192.0.2.7])\r\n"
      "\tby mx.example.org; Mon, 8 Dec 2025 13:20:00 +0000\r\n"
      "From: =?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.org>\r\n"
      "To: Anna <anna@example.com>, team: bert@example.com;\r\n"
      "Cc: =?ISO-8859-1?Q?Ren=E9?= <rene@example.com>\r\n"
      "Subject: =?UTF-8?B?R3LDvMOfZQ==?= und\r\n"
      " mehr\r\n"
      "Date: Mon, 8 Dec 2025 14:20:00 +0100\r\n"
      "Message-ID: <abc.123@example.org>\r\n"
      "\r\n"
      "Gr\xc3\xbc\xc3\x9f\x65 aus dem S\xfc\x64\x65n\r\n"
      ".\r\n"
      "Subject: not a header\r\n";
  const IntakeResult r =
      TakeMessage(*server_, *server_, mailBox_->handle(), PostfixEnvelope(),
                  message, kReceived, IntakeOptions());
  ASSERT_EQ(r.reply.code, 250) << r.reply.text();
  EXPECT_EQ(r.reply.text(), "Ok: queued as " + UnidHex(r.unid));
  EXPECT_EQ(Documents(), 1u);

  const ServerAdmin::NoteContents note = Read(r.noteId);
  EXPECT_EQ(note.unid, r.unid);
  EXPECT_EQ(Item(note, kItemForm), "Memo");
  EXPECT_EQ(Item(note, kItemFrom),
            "J\xc3\xbcrgen M\xc3\xbcller <jm@example.org>");
  EXPECT_EQ(List(note, kItemSendTo),
            (std::vector<std::string>{"Anna <anna@example.com>",
                                      "bert@example.com"}));
  EXPECT_EQ(List(note, kItemCopyTo),
            (std::vector<std::string>{"Ren\xc3\xa9 <rene@example.com>"}));
  EXPECT_EQ(Item(note, kItemSubject), "Gr\xc3\xbc\xc3\x9f\x65 und mehr");
  EXPECT_EQ(Item(note, kItemInternetMessageId), "<abc.123@example.org>");
  const auto time = [](int64_t centis) {
    const std::vector<uint8_t> v =
        item::EncodeTime(TimeDateFromUnixCentis(centis));
    return std::string(v.begin(), v.end());
  };
  EXPECT_EQ(Item(note, kItemPostedDate), time(1765200000LL * 100));
  EXPECT_EQ(Item(note, kItemSmtpReceived), time(kReceived));
  EXPECT_EQ(Item(note, kItemSmtpMessage), message);
  EXPECT_EQ(Item(note, kItemVeltraneProcess), "1");
  EXPECT_EQ(Item(note, kItemRoutingState), "(none)");

  // The envelope, read back with the listener's own parsers, is the one
  // the client gave: delivery passes it on unchanged.
  const Envelope sent = PostfixEnvelope();
  EXPECT_EQ(Item(note, kItemSmtpOriginator), sent.reversePath);
  EXPECT_EQ(List(note, kItemRecipients),
            (std::vector<std::string>{"anna@example.com", "bert@example.com"}));
  MailCommand mail;
  ASSERT_FALSE(ParseMail(Item(note, kItemSmtpMail), PathLimits(), &mail));
  EXPECT_EQ(mail.reversePath, sent.reversePath);
  EXPECT_EQ(mail.params, sent.mail);
  const std::vector<std::string> rcpts = List(note, kItemSmtpRcpt);
  ASSERT_EQ(rcpts.size(), sent.recipients.size());
  for (size_t i = 0; i < rcpts.size(); ++i) {
    RcptCommand rcpt;
    ASSERT_FALSE(ParseRcpt(rcpts[i], false, PathLimits(), &rcpt)) << rcpts[i];
    EXPECT_EQ(rcpt.forwardPath, sent.recipients[i].address);
    EXPECT_EQ(rcpt.params, sent.recipients[i].params);
  }
  Xforward xforward;
  for (const std::string& line : List(note, kItemSmtpXforward)) {
    ASSERT_FALSE(ParseXforward(line, &xforward)) << line;
  }
  EXPECT_EQ(xforward, sent.xforward);
  EXPECT_EQ(Item(note, kItemSmtpHelo), "mx.example.org");
  EXPECT_EQ(Item(note, kItemSmtpProtocol), "ESMTP");
}

TEST_F(MessageIntakeTest, HeldMailLoopsAndFailuresAreAnsweredAsTheyMustBe) {
  std::string headers;
  for (int i = 0; i < 50; ++i)
    headers += "Received: from hop" + std::to_string(i) + "\r\n";
  const std::string body = "Subject: loop\r\n\r\nbody\r\n";
  IntakeOptions hold;
  hold.hold = true;

  // Fifty hops are Postfix's limit, still taken; held, not flagged.
  IntakeResult r =
      TakeMessage(*server_, *server_, mailBox_->handle(), PostfixEnvelope(),
                  headers + body, kReceived, hold);
  ASSERT_EQ(r.reply.code, 250) << r.reply.text();
  const ServerAdmin::NoteContents held = Read(r.noteId);
  EXPECT_EQ(Item(held, kItemRoutingState), "HOLD");
  EXPECT_EQ(Item(held, kItemVeltraneProcess), "(none)");
  // A header-less message is still a message; its From is the envelope's.
  r = TakeMessage(*server_, *server_, mailBox_->handle(), PostfixEnvelope(),
                  "just text\r\n", kReceived, IntakeOptions());
  ASSERT_EQ(r.reply.code, 250) << r.reply.text();
  EXPECT_EQ(Item(Read(r.noteId), kItemFrom), "sender@example.org");
  EXPECT_EQ(Documents(), 2u);

  r = TakeMessage(*server_, *server_, mailBox_->handle(), PostfixEnvelope(),
                  "Received: from one more\r\n" + headers + body, kReceived,
                  hold);
  EXPECT_EQ(r.reply.code, 554);
  EXPECT_EQ(r.reply.enhanced, "5.4.6");

  // A full disk at the save, a failure while the items are written: never
  // 250, and nothing stored.
  testing::FaultyNotes faulty(*server_);
  faulty.FailCall(NotesOp::kUpdateNote, 1, err::kDiskFull);
  r = TakeMessage(faulty, *server_, mailBox_->handle(), PostfixEnvelope(), body,
                  kReceived, IntakeOptions());
  EXPECT_EQ(r.reply.code, 452);
  EXPECT_EQ(r.reply.enhanced, "4.3.1");
  faulty.FailCall(NotesOp::kAppendItem, 5, err::kDiskError);
  r = TakeMessage(faulty, *server_, mailBox_->handle(), PostfixEnvelope(), body,
                  kReceived, IntakeOptions());
  EXPECT_EQ(r.reply.code, 451);
  EXPECT_EQ(faulty.openNotes(), 0);
  EXPECT_EQ(Documents(), 2u);
}

}  // namespace
}  // namespace vt::smtp

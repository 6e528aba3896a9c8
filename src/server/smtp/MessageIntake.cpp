// One note per message, built item by item on an open note and saved once:
// a failure before the save leaves nothing behind, and the save is the
// store's durable commit.
#include "server/smtp/MessageIntake.h"

#include <cstdio>
#include <vector>

#include "databases/MailItems.h"
#include "databases/RouterItems.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "notes/TimeDate.h"
#include "server/smtp/NoteWriter.h"
#include "server/smtp/SmtpClient.h"

namespace vt::smtp {
namespace {

// The extensions the listener offers, for writing the stored arguments.
ServerFeatures EveryFeature() {
  ServerFeatures all;
  all.pipelining = all.size = all.eightBitMime = all.smtpUtf8 = true;
  all.enhancedStatusCodes = all.dsn = true;
  all.xforward.fill(true);
  return all;
}

// "VERB argument\r\n" -> "argument".
std::string Argument(std::string_view command, std::string_view verb) {
  if (command.ends_with("\r\n")) command.remove_suffix(2);
  if (command.starts_with(verb)) command.remove_prefix(verb.size());
  return std::string(command);
}

std::vector<std::string> XforwardArguments(const Xforward& xforward) {
  std::vector<std::string> lines;
  if (xforward.empty()) return lines;
  const std::string commands = FormatXforward(xforward, EveryFeature());
  for (size_t at = 0; at < commands.size();) {
    size_t end = commands.find("\r\n", at);
    if (end == std::string::npos) end = commands.size();
    lines.push_back(
        Argument(std::string_view(commands).substr(at, end - at), "XFORWARD "));
    at = end + 2;
  }
  return lines;
}

const char* ProtocolName(Greeting greeting) {
  switch (greeting) {
    case Greeting::kEhlo:
      return "ESMTP";
    case Greeting::kLhlo:
      return "LMTP";
    case Greeting::kHelo:
    case Greeting::kNone:
      break;
  }
  return "SMTP";
}

Status WriteNote(NotesServices& notes, NoteHandle note,
                 const Envelope& envelope, std::string_view message,
                 int64_t receivedUnixCentis, const HeaderFields& fields,
                 const IntakeOptions& options) {
  NoteWriter w(notes, note);
  w.Text(kItemForm, kMemoForm);
  w.Text(kItemFrom, fields.from.empty() ? envelope.reversePath : fields.from);
  w.TextList(kItemSendTo, fields.to);
  if (!fields.cc.empty()) w.TextList(kItemCopyTo, fields.cc);
  w.Text(kItemSubject, fields.subject);
  w.Time(kItemPostedDate, fields.dateUnixSeconds ? *fields.dateUnixSeconds * 100
                                                 : receivedUnixCentis);
  if (!fields.messageId.empty()) {
    w.Text(kItemInternetMessageId, fields.messageId);
  }
  w.Text(kItemSmtpOriginator, envelope.reversePath);
  std::vector<std::string> recipients;
  std::vector<std::string> rcpts;
  for (const Recipient& r : envelope.recipients) {
    recipients.push_back(r.address);
    rcpts.push_back(RcptArgument(r, envelope.mail.smtpUtf8));
  }
  w.TextList(kItemRecipients, recipients, false);
  // A summary item: delivery's selection asks for it.
  w.Text(kItemSmtpMail, MailArgument(envelope.reversePath, envelope.mail));
  w.TextList(kItemSmtpRcpt, rcpts, false);
  const std::vector<std::string> xforward =
      XforwardArguments(envelope.xforward);
  if (!xforward.empty()) w.TextList(kItemSmtpXforward, xforward, false);
  w.Text(kItemSmtpHelo, envelope.heloName, false);
  w.Text(kItemSmtpProtocol, ProtocolName(envelope.greeting), false);
  w.Time(kItemSmtpReceived, receivedUnixCentis);
  // Searches and views never read the message itself.
  w.Text(kItemSmtpMessage, message, false);
  w.Number(kItemSmtpSize, static_cast<double>(message.size()));
  if (!options.forRouter) {
    // Delivery takes it as it is.
  } else if (options.hold) {
    w.Text(kItemRoutingState, kStateHold);
  } else {
    w.Text(kItemVeltraneProcess, kYes);
  }
  if (!w.status().ok()) return w.status();
  return notes.UpdateNote(note, 0);
}

}  // namespace

std::string UnidHex(const UniversalId& unid) {
  std::string text;
  char digits[3];
  for (const uint8_t byte : unid) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

std::string MailArgument(std::string_view reversePath, const MailParams& mail) {
  return Argument(FormatMailFrom(reversePath, mail, EveryFeature()), "MAIL ");
}

std::string RcptArgument(const Recipient& recipient, bool utf8) {
  return Argument(
      FormatRcptTo(recipient.address, recipient.params, EveryFeature(), utf8),
      "RCPT ");
}

IntakeResult TakeMessage(NotesServices& notes, ServerAdmin& admin,
                         DbHandle mailBox, const Envelope& envelope,
                         std::string_view message, int64_t receivedUnixCentis,
                         const IntakeOptions& options) {
  IntakeResult result;
  result.fields = ReadHeaderFields(message);
  if (result.fields.receivedFields > options.maxReceivedFields) {
    result.reply = Reply(554, "5.4.6", "Too many hops: mail loop?");
    return result;
  }
  Note note(notes);
  Status s = note.Create(mailBox);
  if (s.ok()) {
    s = WriteNote(notes, note.handle(), envelope, message, receivedUnixCentis,
                  result.fields, options);
  }
  ServerAdmin::NoteContents contents;
  if (s.ok()) s = admin.ReadNote(note.handle(), &contents);
  if (!s.ok()) {
    // A note saved but not read back is durable all the same; the client
    // sending it again gives at most one copy too many, never none.
    result.status = s;
    result.reply =
        s.Is(err::kDiskFull)
            ? Reply(452, "4.3.1", "Insufficient system storage")
            : Reply(451, "4.3.0", "Mail not stored; try again later");
    return result;
  }
  result.noteId = contents.noteId;
  result.unid = contents.unid;
  result.reply = Reply(250, "2.0.0", "Ok: queued as " + UnidHex(contents.unid));
  return result;
}

}  // namespace vt::smtp

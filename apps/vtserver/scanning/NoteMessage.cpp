// The envelope is read back with the listener's own parsers, as delivery
// reads it, so that the engines see what the MTA said.
#include "scanning/NoteMessage.h"

#include "databases/MailItems.h"
#include "notes/NoteItem.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/SmtpCommand.h"

namespace vt::tool {
namespace {

// A header field's value on one line.
std::string FieldValue(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string Joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) {
    if (!text.empty()) text += ", ";
    text += entry;
  }
  return text;
}

// The stand-ins' notes: the platform's items as a message.
std::string MadeUpMessage(const std::vector<NoteItem>& items,
                          const std::string& queueId) {
  std::string text;
  text += "From: " + FieldValue(ItemText(FindItem(items, kItemFrom))) + "\r\n";
  text +=
      "To: " + FieldValue(Joined(ItemTextList(FindItem(items, kItemSendTo)))) +
      "\r\n";
  text += "Subject: " + FieldValue(ItemText(FindItem(items, kItemSubject))) +
          "\r\n";
  text += "Message-ID: <" + queueId + "@vtrouter.invalid>\r\n";
  text += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n";
  text += "\r\n";
  for (const std::string& line : ItemTextList(FindItem(items, kItemBody))) {
    text += line + "\r\n";
  }
  return text;
}

std::string Known(const std::optional<std::string>& value) {
  if (!value || value->empty() || value->front() == '[') return std::string();
  return *value;
}

}  // namespace

std::string QueueId(const UniversalId& unid) { return smtp::UnidHex(unid); }

scanner::ScanRequest RequestFromNote(const ServerAdmin::NoteContents& note) {
  const std::vector<NoteItem>& items = note.items;
  scanner::ScanRequest request;
  request.queueId = QueueId(note.unid);
  const NoteItem* bytes = FindItem(items, smtp::kItemSmtpMessage);
  if (bytes == nullptr) {
    request.message = MadeUpMessage(items, request.queueId);
    return request;
  }
  request.message.assign(bytes->value.begin(), bytes->value.end());
  smtp::MailCommand mail;
  const std::string mailArgument =
      ItemText(FindItem(items, smtp::kItemSmtpMail));
  bool utf8 = false;
  if (!smtp::ParseMail(mailArgument, smtp::PathLimits(), &mail)) {
    request.mailFrom = mail.reversePath;
    utf8 = mail.params.smtpUtf8;
  }
  for (const std::string& argument :
       ItemTextList(FindItem(items, smtp::kItemSmtpRcpt))) {
    smtp::RcptCommand rcpt;
    if (!smtp::ParseRcpt(argument, utf8, smtp::PathLimits(), &rcpt)) {
      request.recipients.push_back(rcpt.forwardPath);
    }
  }
  smtp::Xforward xforward;
  for (const std::string& argument :
       ItemTextList(FindItem(items, smtp::kItemSmtpXforward))) {
    // A line that was good when it came is good now.
    static_cast<void>(smtp::ParseXforward(argument, &xforward));
  }
  using smtp::XforwardAttribute;
  request.clientIp = Known(xforward[XforwardAttribute::kAddr]);
  request.clientHost = Known(xforward[XforwardAttribute::kName]);
  request.helo = Known(xforward[XforwardAttribute::kHelo]);
  if (request.helo.empty()) {
    request.helo = ItemText(FindItem(items, smtp::kItemSmtpHelo));
  }
  return request;
}

}  // namespace vt::tool

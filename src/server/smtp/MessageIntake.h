// What the listener does with a message once its final dot came: it becomes
// one note in a mail box, written whole in one UpdateNote, and only then is
// the client told 250 with the note's universal ID. The note carries what
// the mail server's own notes carry (Form "Memo", From, SendTo, CopyTo,
// Subject, PostedDate, $MessageID, the envelope in SMTPOriginator and
// Recipients), the mark that hands it to the router, and our own items:
// the message byte for byte, the time it came, and the envelope's MAIL,
// RCPT and XFORWARD arguments in the very syntax the client sent them, so
// that delivery reads them back with the listener's own parsers and passes
// size, body type, DSN requests and the original client on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "notes/NotesServices.h"
#include "server/ServerAdmin.h"
#include "server/smtp/HeaderFields.h"
#include "server/smtp/SmtpReply.h"
#include "server/smtp/SmtpSession.h"

namespace vt::smtp {

// Our items of a message the listener took.
inline constexpr char kItemSmtpMessage[] = "VTSmtpMessage";    // the bytes
inline constexpr char kItemSmtpReceived[] = "VTSmtpReceived";  // a time
// The message's size in bytes, a summary item: lists show it without
// reading the message.
inline constexpr char kItemSmtpSize[] = "VTSmtpSize";
// "FROM:<path> params" and one "TO:<path> params" per recipient.
inline constexpr char kItemSmtpMail[] = "VTSmtpMail";
inline constexpr char kItemSmtpRcpt[] = "VTSmtpRcpt";
// "NAME=value ..." lines; absent when the client sent no XFORWARD.
inline constexpr char kItemSmtpXforward[] = "VTSmtpXforward";
// The greeting's name, and whether it was ESMTP, LMTP or plain HELO.
inline constexpr char kItemSmtpHelo[] = "VTSmtpHelo";
inline constexpr char kItemSmtpProtocol[] = "VTSmtpProtocol";

struct IntakeOptions {
  // The alternative interception mode: the mail server holds the message
  // (RoutingState "HOLD") instead of flagging it (VeltraneProcess "1").
  bool hold = false;
  // Mail of the server's own (a non-delivery report) is not the router's
  // to scan: neither flagged nor held.
  bool forRouter = true;
  // Postfix's hopcount_limit: more Received fields than this is a loop.
  size_t maxReceivedFields = 50;
};

struct IntakeResult {
  Reply reply;          // what the client is told
  uint32_t noteId = 0;  // the note written, when reply is positive
  UniversalId unid{};
  HeaderFields fields;  // as read from the message
  Status status;        // the store's failure, when it failed
};

// Stores the message into mailBox. 250 "queued as" the universal ID once
// the note is durable; 554 for a loop; 452 when the disk is full; 451 for
// any other failure, with nothing stored (the MTA keeps the mail and tries
// again).
IntakeResult TakeMessage(NotesServices& notes, ServerAdmin& admin,
                         DbHandle mailBox, const Envelope& envelope,
                         std::string_view message, int64_t receivedUnixCentis,
                         const IntakeOptions& options);

// The universal ID as 32 upper-case hexadecimal digits, as replies and log
// lines give it.
std::string UnidHex(const UniversalId& unid);

// "FROM:<path> params" and "TO:<path> params" as the client would send them
// with every extension offered: the stored form, read back with ParseMail
// and ParseRcpt.
std::string MailArgument(std::string_view reversePath, const MailParams& mail);
std::string RcptArgument(const Recipient& recipient, bool utf8);

}  // namespace vt::smtp

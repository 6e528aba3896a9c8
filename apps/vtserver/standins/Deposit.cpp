// Writing messages as the mail server would.
#include "standins/Deposit.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "datadir/MailItems.h"
#include "notes/FixedText.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

constexpr char kFrom[] = "CN=Sender/O=Example";
constexpr char kSendTo[] = "CN=Recipient/O=Example";
constexpr char kDeadReason[] = "No route found to domain Example.invalid";
constexpr int64_t kCentisPerMinute = 6000;

uint32_t RandomWord() {
  uint32_t word = 0;
  if (getrandom(&word, sizeof word, 0) != static_cast<ssize_t>(sizeof word)) {
    // Without the kernel's generator the clock's nanoseconds still differ.
    word = static_cast<uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return word;
}

int64_t UnixMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Status SetText(NotesServices& notes, NoteHandle note, const char* name,
               const std::string& value) {
  return notes.SetTextItem(note, name, value.c_str(), 0xFFFF);
}

// createdKept tells whether the store kept the creation time given.
Status Write(LocalNotesServices& server, DbHandle db,
             const DepositOptions& options, const DepositedMessage& message,
             uint32_t* noteId, bool* createdKept) {
  Note note(server);
  Status s = note.Create(db);
  const NoteHandle h = note.handle();
  if (s.ok()) s = SetText(server, h, kItemForm, kMemoForm);
  if (s.ok()) s = SetText(server, h, kItemFrom, kFrom);
  if (s.ok()) s = SetText(server, h, kItemSendTo, kSendTo);
  if (s.ok()) s = SetText(server, h, kItemSubject, message.subject);
  if (s.ok()) {
    // The body is no summary item: searches and views never read it.
    std::string body = "This is \"" + message.subject +
                       "\", deposited by vtserver as " + message.messageId +
                       ".\n";
    // Lines of filler, as long mail has, for messages of a given size.
    while (body.size() < options.bodyBytes) {
      body.append(std::min<size_t>(75, options.bodyBytes - body.size() - 1),
                  'x');
      body.push_back('\n');
    }
    s = server.AppendItem(h, 0, kItemBody, 0, kTypeText, body.data(),
                          static_cast<uint32_t>(body.size()));
  }
  if (s.ok() && options.process)
    s = SetText(server, h, kItemVeltraneProcess, kYes);
  if (s.ok() && options.hold)
    s = SetText(server, h, kItemRoutingState, kStateHold);
  if (s.ok() && options.dead) {
    s = SetText(server, h, kItemRoutingState, kStateDead);
    if (s.ok()) s = SetText(server, h, kItemDeadFailureReason, kDeadReason);
  }
  if (s.ok()) s = SetText(server, h, kItemMessageId, message.messageId);
  if (!s.ok()) return s;
  ServerAdmin::NoteContents contents;
  s = server.ReadNote(h, &contents);
  if (!s.ok()) return s;
  const int64_t created =
      contents.created - options.ageMinutes * kCentisPerMinute;
  s = server.SetNoteCreated(h, created);
  if (s.ok()) s = server.UpdateNote(h, 0);
  if (s.ok()) s = server.ReadNote(h, &contents);
  if (!s.ok()) return s;
  *noteId = contents.noteId;
  // The router's release tests @Created; an age the store dropped would
  // make --age silently do nothing.
  ServerAdmin::ScanOptions stored;
  stored.only = {noteId, 1};
  *createdKept = false;
  return server.ScanDocuments(db, stored,
                              [&](const ServerAdmin::Document& document) {
                                *createdKept = document.created == created;
                                return Status();
                              });
}

}  // namespace

Outcome DepositMessages(LocalNotesServices& server,
                        const DepositOptions& options,
                        std::vector<DepositedMessage>* deposited) {
  deposited->clear();
  if (options.hold && options.dead) {
    return Outcome::Failure("a message cannot be both held and dead");
  }
  if (options.count < 1)
    return Outcome::Failure("the count must be at least 1");
  if (options.ageMinutes < 0) {
    return Outcome::Failure("the age must not be negative");
  }
  Database db(server);
  Status s = db.Open(options.database);
  if (!s.ok()) return StatusFailure("cannot open " + options.database, s);
  // Process and time alone repeat when one process deposits twice within a
  // millisecond; the random part keeps every call's messages apart.
  std::array<char, 16> nonce{};
  FormatBounded(nonce, "%08x", RandomWord());
  const std::string prefix = std::to_string(::getpid()) + "-" +
                             std::to_string(UnixMillis()) + "-" + nonce.data() +
                             "-";
  for (int n = 1; n <= options.count; ++n) {
    DepositedMessage message;
    message.messageId = prefix + std::to_string(n);
    message.subject = options.subject.empty()
                          ? "Test message " + std::to_string(n)
                          : options.subject;
    bool createdKept = false;
    s = Write(server, db.handle(), options, message, &message.noteId,
              &createdKept);
    if (s.ok() && !createdKept) {
      deposited->push_back(message);
      return Outcome::Failure(
          "the store did not keep the creation time of the message " +
          message.messageId);
    }
    if (!s.ok()) {
      return StatusFailure("cannot write message " + std::to_string(n) +
                               " of " + std::to_string(options.count) +
                               " into " + options.database,
                           s);
    }
    deposited->push_back(std::move(message));
  }
  return Outcome();
}

}  // namespace vt::tool

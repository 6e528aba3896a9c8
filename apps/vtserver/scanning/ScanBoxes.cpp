// Found by a summary scan with the unverified selection; saved with the
// server's own conflict check, after the version is compared once more.
#include "scanning/ScanBoxes.h"

#include "databases/RouterItems.h"
#include "datadir/ConfigDocument.h"
#include "server/smtp/NoteWriter.h"

namespace vt::tool {
namespace {

constexpr char kUnverified[] = "SELECT VeltraneVerified != \"1\"";

}  // namespace

ScanBoxes::ScanBoxes(LocalNotesServices& server)
    : server_(server), unverified_(server) {}

Outcome ScanBoxes::Refresh() {
  std::vector<std::string> names;
  const Outcome outcome = ReadConfiguredScanBoxes(server_, &names);
  if (!outcome.ok()) return outcome;
  return Open(names);
}

Outcome ScanBoxes::Open(const std::vector<std::string>& names) {
  if (!unverified_.handle()) {
    const Status s = unverified_.Compile(nullptr, kUnverified);
    if (!s.ok()) return StatusFailure("cannot compile the scan selection", s);
  }
  names_ = names;
  for (const std::string& name : names_) {
    if (open_.count(name) != 0) continue;
    auto db = std::make_unique<Database>(server_);
    const Status opened = db->Open(name);
    // Not made yet: the router makes it when it starts.
    if (opened.Is(err::kFileNotFound)) continue;
    if (!opened.ok()) return StatusFailure("cannot open " + name, opened);
    open_.emplace(name, std::move(db));
  }
  return Outcome();
}

DbHandle ScanBoxes::HandleOf(const std::string& box) const {
  const auto it = open_.find(box);
  return it == open_.end() ? DbHandle() : it->second->handle();
}

Status ScanBoxes::Find(std::vector<PendingMessage>* pending,
                       std::string* failure) {
  pending->clear();
  failure->clear();
  const MemHandle selection = unverified_.handle();
  ServerAdmin::ScanOptions options;
  options.selections = std::span<const MemHandle>(&selection, 1);
  Status first;
  for (const std::string& box : names_) {
    const DbHandle db = HandleOf(box);
    if (!db) continue;
    const Status s = server_.ScanDocuments(
        db, options, [&](const ServerAdmin::Document& document) {
          if ((document.selected & 1) != 0) {
            pending->push_back({box, document.noteId, document.sequence});
          }
          return Status();
        });
    if (!s.ok() && first.ok()) {
      first = s;
      *failure = box;
    }
  }
  return first;
}

Status ScanBoxes::Load(const PendingMessage& at,
                       ServerAdmin::NoteContents* contents) {
  const DbHandle db = HandleOf(at.box);
  if (!db) return err::kNoteDeleted;
  Note note(server_);
  Status s = note.Open(db, at.noteId);
  if (!s.ok()) return s;
  s = server_.ReadNote(note.handle(), contents);
  if (!s.ok()) return s;
  if (contents->sequence != at.sequence) return err::kUpdateConflict;
  if (ItemText(FindItem(contents->items, kItemVeltraneVerified)) == kYes) {
    return err::kUpdateConflict;
  }
  return Status();
}

Status ScanBoxes::Save(const PendingMessage& at, scanner::Route route,
                       const std::vector<scanner::ScanItem>& evidence) {
  const DbHandle db = HandleOf(at.box);
  if (!db) return err::kNoteDeleted;
  Note note(server_);
  Status s = note.Open(db, at.noteId);
  if (!s.ok()) return s;
  uint32_t sequence = 0;
  TimeDate modified;
  uint16_t noteClass = 0;
  s = server_.GetNoteInfo(db, at.noteId, &sequence, &modified, &noteClass);
  if (!s.ok()) return s;
  if (sequence != at.sequence) return err::kUpdateConflict;
  const char letter[2] = {scanner::RouteLetter(route), '\0'};
  smtp::NoteWriter w(server_, note.handle());
  for (const scanner::ScanItem& item : evidence) {
    w.Replacing(item.name.c_str());
    if (item.list) {
      w.TextList(item.name.c_str(), item.values);
    } else {
      w.Text(item.name.c_str(), item.values.empty() ? "" : item.values[0]);
    }
  }
  w.Replacing(kItemKestoRouter).Text(kItemKestoRouter, letter);
  w.Replacing(kItemVeltraneVerified).Text(kItemVeltraneVerified, kYes);
  if (!w.status().ok()) return w.status();
  return server_.UpdateNote(note.handle(), 0);
}

}  // namespace vt::tool

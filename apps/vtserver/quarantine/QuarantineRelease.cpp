// Release through the router's own one-message move.
#include "quarantine/QuarantineRelease.h"

#include <array>

#include "datadir/MailItems.h"
#include "engine/MessageMover.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

constexpr int kConflictRetries = 3;

std::string TextItem(NotesServices& notes, NoteHandle note, const char* name) {
  std::array<char, 64> text{};
  const uint16_t length = notes.GetTextItem(note, name, text);
  return std::string(text.data(), length);
}

// Marks the quarantined note as ordinary mail an administrator released,
// unless an earlier release did: marking it again would give it a newer
// version than the copy that release may have delivered, and a newer
// version would be copied again.
Status MarkReleased(NotesServices& notes, DbHandle db, uint32_t noteId) {
  Status s;
  for (int attempt = 0; attempt < kConflictRetries; ++attempt) {
    Note note(notes);
    s = note.Open(db, noteId);
    if (!s.ok()) return s;
    const NoteHandle h = note.handle();
    if (TextItem(notes, h, kItemAdminReleased) == kYes &&
        TextItem(notes, h, kItemVeltraneVerified) == kYes &&
        TextItem(notes, h, kItemKestoRouter) == "M") {
      return Status();
    }
    s = notes.SetTextItem(h, kItemVeltraneVerified, kYes, 1);
    if (s.ok()) s = notes.SetTextItem(h, kItemKestoRouter, "M", 1);
    if (s.ok()) s = notes.SetTextItem(h, kItemAdminReleased, kYes, 1);
    if (s.ok()) s = notes.UpdateNote(h, 0);
    // Someone else saved it meanwhile: read it again.
    if (!s.Is(err::kUpdateConflict)) return s;
  }
  return s;
}

}  // namespace

Outcome ReleaseMessage(NotesServices& notes,
                       const std::vector<QuarantineFile>& files,
                       const MailBoxes& mailBoxes, size_t target,
                       const std::string& id, Released* released) {
  UniversalId unid{};
  std::optional<QuarantineHit> hit;
  const Outcome outcome = FindQuarantinedById(notes, files, id, &unid, &hit);
  if (!outcome.ok()) return outcome;
  if (!hit) {
    for (size_t i = 0; i < mailBoxes.size(); ++i) {
      uint32_t noteId = 0;
      if (notes.GetNoteInfoByUnid(mailBoxes.handle(i), unid, &noteId, nullptr)
              .ok() &&
          (noteId & kDeletedNoteFlag) == 0) {
        return Outcome::Failure(id + ": not in quarantine (it is in " +
                                    mailBoxes.name(i) + ": released already?)",
                                Outcome::Kind::kConflict);
      }
    }
    return Outcome::Failure(id + ": no quarantined message has this ID",
                            Outcome::Kind::kNotFound);
  }
  const std::string& from = hit->file.path;
  Database quarantine(notes);
  Status s = quarantine.Open(from);
  if (s.ok()) s = MarkReleased(notes, quarantine.handle(), hit->noteId);
  if (!s.ok()) {
    return StatusFailure(id + ": cannot mark it released in " + from, s);
  }
  std::vector<DbHandle> others;
  for (size_t i = 0; i < mailBoxes.size(); ++i) {
    if (i != target) others.push_back(mailBoxes.handle(i));
  }
  DbHandle reached;
  s = MoveOneMessage(notes, quarantine.handle(), hit->noteId,
                     mailBoxes.handle(target), others, &reached);
  if (!s.ok()) {
    return StatusFailure(id + ": not released from " + from + " to " +
                             mailBoxes.NameOf(reached) +
                             " (nothing is lost; release it again)",
                         s);
  }
  released->from = from;
  released->to = mailBoxes.NameOf(reached);
  notes.LogMessage("vtserver: Released message %s from %s to %s.", Status(),
                   UnidText(unid).c_str(), from.c_str(), released->to.c_str());
  return Outcome();
}

}  // namespace vt::tool

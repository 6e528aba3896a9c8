// Searching for unverified mail and marking it, one message at a time.
#include "standins/Verdicts.h"

#include <array>
#include <vector>

#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

constexpr char kUnverified[] = "SELECT VeltraneVerified != \"1\"";

Status Collect(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) != 0 &&
      (match.noteId & kDeletedNoteFlag) == 0) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(match.noteId);
  }
  return Status();
}

bool Vanished(Status s) {
  return s.Is(err::kNoteDeleted) || s.Is(err::kInvalidNote);
}

std::string TextItem(NotesServices& notes, NoteHandle note, const char* name) {
  std::array<char, 512> text{};
  const uint16_t length = notes.GetTextItem(note, name, text);
  return std::string(text.data(), length);
}

}  // namespace

bool IsVerdict(char verdict) {
  return verdict == 'M' || verdict == 'B' || verdict == 'C' || verdict == 'D';
}

Outcome GiveVerdicts(LocalNotesServices& server, DbHandle db,
                     const std::string& name, const VerdictChoice& choose,
                     VerdictCounts* counts) {
  CompiledFormula formula(server);
  Status s = formula.Compile(nullptr, kUnverified);
  if (!s.ok()) return StatusFailure("cannot compile the scanner's formula", s);
  std::vector<uint32_t> ids;
  s = server.SearchDatabase(db, formula.handle(), nullptr, 0,
                            kNoteClassDocument, nullptr, Collect, &ids,
                            nullptr);
  if (!s.ok()) return StatusFailure("cannot search " + name, s);
  for (const uint32_t id : ids) {
    Note note(server);
    s = note.Open(db, id);
    if (Vanished(s)) {
      ++counts->vanished;
      continue;
    }
    if (!s.ok()) return StatusFailure("cannot open a message of " + name, s);
    // Another scanner may have got there first.
    if (TextItem(server, note.handle(), kItemVeltraneVerified) == kYes)
      continue;
    const char verdict =
        choose(TextItem(server, note.handle(), kItemMessageId));
    if (!IsVerdict(verdict)) continue;
    const char text[2] = {verdict, '\0'};
    s = server.SetTextItem(note.handle(), kItemVeltraneVerified, kYes, 0xFFFF);
    if (s.ok())
      s = server.SetTextItem(note.handle(), kItemKestoRouter, text, 1);
    if (s.ok()) s = server.UpdateNote(note.handle(), 0);
    if (Vanished(s)) {
      ++counts->vanished;
      continue;
    }
    // The router (releasing it) or another scanner saved it meanwhile; the
    // next scan meets it again if it still waits for a verdict.
    if (s.Is(err::kUpdateConflict)) continue;
    if (!s.ok()) return StatusFailure("cannot update a message of " + name, s);
    ++counts->given;
  }
  return Outcome();
}

}  // namespace vt::tool

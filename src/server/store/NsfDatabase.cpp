// What every store shares: note IDs as callers give them, the icon note and
// its title, and copies of settings and content from a database of one
// store into a database of any store.
#include "server/store/NsfDatabase.h"

#include <string_view>
#include <vector>

#include "notes/DbInfoText.h"
#include "notes/ItemValue.h"
#include "server/store/Unid.h"

namespace vt::store {

Status NsfDatabase::ResolveNoteId(uint32_t noteId, uint32_t* resolved) {
  if ((noteId & 0xFFFF0000) == kClassNoteIdPrefix) {
    return FirstOfClass(static_cast<uint16_t>(noteId & 0xFFFF), resolved);
  }
  if ((noteId & kDeletedNoteFlag) != 0) {
    // A search hands out stubs with the flag set; they are deleted notes.
    return MissingNoteStatus(noteId & ~kDeletedNoteFlag);
  }
  if (noteId == 0 || noteId % kNoteIdStep != 0) return err::kInvalidNote;
  *resolved = noteId;
  return Status();
}

Status NsfDatabase::EnsureIconNote(int64_t nowCentis) {
  uint32_t iconId = 0;
  Status s = ResolveNoteId(kIconNoteId, &iconId);
  if (s.ok() || !s.Is(err::kInvalidNote)) return s;
  DbInfo info{};
  s = GetInfo(&info);
  if (!s.ok()) return s;
  NoteRecord icon;
  icon.unid = NewUnid();
  icon.noteClass = kNoteClassIcon;
  icon.created = nowCentis;
  icon.items.Append(Item{kTitleItem, kTypeText, kItemFlagSummary,
                         item::EncodeText(DbInfoField(info, 0))});
  return WriteNote(&icon, nowCentis);
}

bool NsfDatabase::TakeTitle(const DbInfo& info, NoteRecord* icon) {
  const std::string_view title = DbInfoField(info, kDbInfoFieldTitle);
  const Item* current = icon->items.Find(kTitleItem);
  if (current != nullptr && current->type == kTypeText &&
      std::string_view(reinterpret_cast<const char*>(current->value.data()),
                       current->value.size()) == title) {
    return false;
  }
  icon->items.Replace(
      Item{kTitleItem, kTypeText, kItemFlagSummary, item::EncodeText(title)});
  return true;
}

Status NsfDatabase::CopySettingsTo(NsfDatabase& to, int64_t nowCentis) {
  if (&to == this) return Status();
  std::vector<uint8_t> settings;
  Status s = GetSettings(&settings);
  if (!s.ok()) return s;
  std::vector<StoredNote> acl;
  s = ForEachStoredNote(kNoteClassAcl, [&](const StoredNote& note) {
    acl.push_back(note);
    return Status();
  });
  if (!s.ok()) return s;
  return to.AdoptSettings(settings, acl, nowCentis);
}

Status NsfDatabase::CopyContentInto(NsfDatabase& fresh, uint16_t classMask,
                                    int64_t nowCentis) {
  DbInfo info{};
  Status s = GetInfo(&info);
  std::vector<uint8_t> settings;
  if (s.ok()) s = GetSettings(&settings);
  if (!s.ok()) return s;
  // A template's notes are its design: few and small.
  std::vector<StoredNote> notes;
  s = ForEachStoredNote(classMask, [&](const StoredNote& note) {
    notes.push_back(note);
    return Status();
  });
  if (!s.ok()) return s;
  return fresh.AdoptContent(info, settings, notes, nowCentis);
}

}  // namespace vt::store

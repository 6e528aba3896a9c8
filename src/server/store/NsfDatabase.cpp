// What every store shares: copies of settings and content from a database
// of one store into a database of any store.
#include "server/store/NsfDatabase.h"

#include <vector>

namespace vt::store {

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

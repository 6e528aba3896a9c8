// Release through the router's own one-message move; purge in batches, one
// durable transaction each.
#include "quarantine/QuarantineActions.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "base/Ascii.h"
#include "datadir/MailItems.h"
#include "engine/MessageMover.h"

namespace vt::tool {
namespace {

constexpr int kConflictRetries = 3;
constexpr size_t kPurgeBatch = 1000;

std::string Normalized(const std::string& path) {
  std::string text = path;
  std::replace(text.begin(), text.end(), '\\', '/');
  while (!text.empty() && text.front() == '/') text.erase(text.begin());
  return text;
}

std::string TextItem(NotesServices& notes, NoteHandle note, const char* name) {
  std::array<char, 64> text{};
  const uint16_t length = notes.GetTextItem(note, name, text);
  return std::string(text.data(), length);
}

// Marks the quarantined note as ordinary mail an administrator released,
// unless an earlier release did: marking it again would give it a newer
// version than the copy that release may have delivered, and a newer
// version would be copied again.
Status MarkReleased(LocalNotesServices& server, DbHandle db, uint32_t noteId) {
  Status s;
  for (int attempt = 0; attempt < kConflictRetries; ++attempt) {
    Note note(server);
    s = note.Open(db, noteId);
    if (!s.ok()) return s;
    const NoteHandle h = note.handle();
    if (TextItem(server, h, kItemAdminReleased) == kYes &&
        TextItem(server, h, kItemVeltraneVerified) == kYes &&
        TextItem(server, h, kItemKestoRouter) == "M") {
      return Status();
    }
    s = server.SetTextItem(h, kItemVeltraneVerified, kYes, 1);
    if (s.ok()) s = server.SetTextItem(h, kItemKestoRouter, "M", 1);
    if (s.ok()) s = server.SetTextItem(h, kItemAdminReleased, kYes, 1);
    if (s.ok()) s = server.UpdateNote(h, 0);
    // Someone else saved it meanwhile: read it again.
    if (!s.Is(err::kUpdateConflict)) return s;
  }
  return s;
}

}  // namespace

Outcome MailBoxes::Open(LocalNotesServices& server,
                        const RouterSettings& settings) {
  for (const std::string& name : settings.mailBoxes) {
    auto db = std::make_unique<Database>(server);
    const Status s = db->Open(name);
    if (!s.ok()) return StatusFailure("cannot open the mail box " + name, s);
    names_.push_back(name);
    databases_.push_back(std::move(db));
  }
  if (names_.empty()) return Outcome::Failure("the router has no mail box");
  return Outcome();
}

int MailBoxes::Find(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (EqualsIgnoreCase(Normalized(names_[i]), Normalized(name))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string MailBoxes::NameOf(DbHandle db) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (databases_[i]->handle() == db) return names_[i];
  }
  return "?";
}

Outcome ReleaseMessage(LocalNotesServices& server,
                       const std::vector<QuarantineFile>& files,
                       const MailBoxes& mailBoxes, size_t target,
                       const std::string& id, Released* released) {
  UniversalId unid{};
  std::optional<QuarantineHit> hit;
  const Outcome outcome = FindQuarantinedById(server, files, id, &unid, &hit);
  if (!outcome.ok()) return outcome;
  if (!hit) {
    for (size_t i = 0; i < mailBoxes.size(); ++i) {
      uint32_t noteId = 0;
      if (server.GetNoteInfoByUnid(mailBoxes.handle(i), unid, &noteId, nullptr)
              .ok() &&
          (noteId & kDeletedNoteFlag) == 0) {
        return Outcome::Failure(id + ": not in quarantine (it is in " +
                                mailBoxes.name(i) + ": released already?)");
      }
    }
    return Outcome::Failure(id + ": no quarantined message has this ID");
  }
  const std::string& from = hit->file.path;
  Database quarantine(server);
  Status s = quarantine.Open(from);
  if (s.ok()) s = MarkReleased(server, quarantine.handle(), hit->noteId);
  if (!s.ok()) {
    return StatusFailure(id + ": cannot mark it released in " + from, s);
  }
  std::vector<DbHandle> others;
  for (size_t i = 0; i < mailBoxes.size(); ++i) {
    if (i != target) others.push_back(mailBoxes.handle(i));
  }
  DbHandle reached;
  s = MoveOneMessage(server, quarantine.handle(), hit->noteId,
                     mailBoxes.handle(target), others, &reached);
  if (!s.ok()) {
    return StatusFailure(id + ": not released from " + from + " to " +
                             mailBoxes.NameOf(reached) +
                             " (nothing is lost; release it again)",
                         s);
  }
  released->from = from;
  released->to = mailBoxes.NameOf(reached);
  server.LogMessage("vtserver: Released message %s from %s to %s.", Status(),
                    UnidText(unid).c_str(), from.c_str(), released->to.c_str());
  return Outcome();
}

Outcome PurgeOlder(LocalNotesServices& server,
                   const std::vector<QuarantineFile>& files, int64_t cutoff,
                   bool dryRun, std::vector<PurgeResult>* results) {
  return Purge(
      server, files,
      [cutoff](const QuarantinedMessage& m) { return m.created < cutoff; },
      dryRun, results);
}

Outcome Purge(LocalNotesServices& server,
              const std::vector<QuarantineFile>& files,
              const PurgeSelector& doomed, bool dryRun,
              std::vector<PurgeResult>* results) {
  // A rolled-over database may go only when it is below the configured one
  // of its perimeter: a roll-over running now makes a higher number, and
  // the configured database of any perimeter always stays.
  std::map<char, uint32_t> currentNumber;
  std::set<std::string> configured;
  for (const QuarantineFile& f : files) {
    if (f.current) {
      currentNumber[f.perimeter] = f.number;
      configured.insert(f.path);
    }
  }
  for (const QuarantineFile& file : files) {
    PurgeResult result;
    result.database = file.path;
    result.perimeter = file.perimeter;
    bool exists = false;
    {
      Database db(server);
      Status s = db.Open(file.path);
      if (s.Is(err::kFileNotFound)) continue;
      if (!s.ok()) return StatusFailure("cannot open " + file.path, s);
      exists = true;
      std::vector<uint32_t> old;
      uint32_t total = 0;
      const Outcome read = ForEachQuarantined(
          server, file, [&](const QuarantinedMessage& message) {
            ++total;
            if (doomed(message)) old.push_back(message.noteId);
          });
      if (!read.ok()) return read;
      if (dryRun) {
        result.deleted = static_cast<uint32_t>(old.size());
      } else {
        for (size_t i = 0; i < old.size(); i += kPurgeBatch) {
          const size_t n = std::min(kPurgeBatch, old.size() - i);
          uint32_t deleted = 0;
          s = server.DeleteDocuments(db.handle(), {old.data() + i, n}, {},
                                     &deleted);
          if (!s.ok()) return StatusFailure("cannot purge " + file.path, s);
          result.deleted += deleted;
        }
        if (result.deleted > 0) {
          server.LogMessage(
              "vtserver: Purged %lu quarantined messages from %s.", Status(),
              static_cast<unsigned long>(result.deleted), file.path.c_str());
        }
      }
      result.remaining = total - static_cast<uint32_t>(old.size());
    }
    const auto current = currentNumber.find(file.perimeter);
    if (exists && result.remaining == 0 && !file.current &&
        configured.count(file.path) == 0 && current != currentNumber.end() &&
        file.number < current->second) {
      if (dryRun) {
        result.removed = true;
      } else {
        const Status s = server.RemoveDatabase(file.path.c_str());
        if (!s.ok() && !s.Is(err::kFileNotFound)) {
          return StatusFailure("cannot remove the empty " + file.path, s);
        }
        result.removed = s.ok();
        if (result.removed) {
          server.LogMessage("vtserver: Removed the empty quarantine %s.",
                            Status(), file.path.c_str());
        }
      }
    }
    results->push_back(result);
  }
  return Outcome();
}

}  // namespace vt::tool

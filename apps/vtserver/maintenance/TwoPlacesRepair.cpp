// The rules as one comparison, and the deletions as the purge makes them:
// one durable transaction each, leaving a deletion stub that keeps a stale
// copy from ever being written back.
#include "maintenance/TwoPlacesRepair.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"
#include "quarantine/Quarantine.h"

namespace vt::tool {
namespace {

// How far along the road a copy is; -1 off the road.
int Stage(const MessageCopy& copy) {
  switch (copy.role) {
    case DatabaseRole::kMailBox:
      return copy.verified == kYes ? 2 : 0;
    case DatabaseRole::kScanBox:
      return 1;
    case DatabaseRole::kQuarantine:
      return 2;
    case DatabaseRole::kOther:
      break;
  }
  return -1;
}

bool ReleasedInMailBox(const MessageCopy& copy) {
  return copy.role == DatabaseRole::kMailBox && copy.released == kYes;
}

bool WinsOver(const MessageCopy& a, const MessageCopy& b) {
  if (b.role == DatabaseRole::kQuarantine && ReleasedInMailBox(a)) return true;
  if (a.role == DatabaseRole::kQuarantine && ReleasedInMailBox(b)) {
    return false;
  }
  if (a.sequence != b.sequence) return a.sequence > b.sequence;
  return Stage(a) > Stage(b);
}

// The databases a repair reads and writes, each opened once.
class OpenDatabases {
 public:
  explicit OpenDatabases(LocalNotesServices& server) : server_(server) {}

  // Null with *status kFileNotFound for a database not made yet.
  Database* Get(const std::string& path, Status* status) {
    *status = Status();
    auto& slot = open_[path];
    if (!slot) {
      auto db = std::make_unique<Database>(server_);
      *status = db->Open(path);
      if (!status->ok()) return nullptr;
      slot = std::move(db);
    }
    return slot.get();
  }

 private:
  LocalNotesServices& server_;
  std::map<std::string, std::unique_ptr<Database>> open_;
};

// Every copy of the message in the road's databases and where it was seen.
Outcome ReadCopies(LocalNotesServices& server, const DatabaseRoles& roles,
                   OpenDatabases& open, const MessageInTwoPlaces& message,
                   std::vector<MessageCopy>* copies) {
  std::set<std::string> paths;
  for (const std::string& path : roles.Road()) paths.insert(path);
  for (const MessageCopy& copy : message.copies) paths.insert(copy.database);
  for (const std::string& path : paths) {
    Status s;
    Database* db = open.Get(path, &s);
    if (s.Is(err::kFileNotFound)) continue;
    if (db == nullptr) return StatusFailure("cannot open " + path, s);
    MessageCopy copy;
    copy.database = path;
    copy.role = roles.Of(path);
    s = ReadCopy(server, db->handle(), message.unid, &copy);
    if (s.Is(err::kNotFound)) continue;
    if (!s.ok()) return StatusFailure("cannot read " + path, s);
    copies->push_back(std::move(copy));
  }
  return Outcome();
}

// Deletes the copy if it is still the one decided on.
Outcome RemoveCopy(LocalNotesServices& server, Database& db,
                   const UniversalId& unid, const MessageCopy& copy,
                   bool* removed) {
  *removed = false;
  MessageCopy now;
  const Status read = ReadCopy(server, db.handle(), unid, &now);
  if (read.Is(err::kNotFound)) return Outcome();
  if (!read.ok()) return StatusFailure("cannot read " + copy.database, read);
  if (now.noteId != copy.noteId || now.sequence != copy.sequence) {
    return Outcome();
  }
  // Only the version decided on: a change made since the reading is kept.
  uint32_t deleted = 0;
  const Status s = server.DeleteDocuments(db.handle(), {&copy.noteId, 1},
                                          {&copy.sequence, 1}, &deleted);
  if (!s.ok()) {
    return StatusFailure("cannot delete the copy of message " + UnidText(unid) +
                             " in " + copy.database,
                         s);
  }
  *removed = deleted == 1;
  return Outcome();
}

}  // namespace

std::optional<size_t> CopyToKeep(const std::vector<MessageCopy>& copies) {
  for (size_t i = 0; i < copies.size(); ++i) {
    if (copies[i].role == DatabaseRole::kOther) continue;
    bool winsAll = true;
    for (size_t j = 0; j < copies.size() && winsAll; ++j) {
      if (j != i && copies[j].role != DatabaseRole::kOther) {
        winsAll = WinsOver(copies[i], copies[j]);
      }
    }
    if (winsAll) return i;
  }
  return std::nullopt;
}

Outcome RepairTwoPlaces(LocalNotesServices& server, const DatabaseRoles& roles,
                        const std::vector<MessageInTwoPlaces>& found,
                        bool dryRun, std::vector<RepairResult>* results) {
  OpenDatabases open(server);
  for (const MessageInTwoPlaces& message : found) {
    RepairResult result;
    result.unid = message.unid;
    Outcome outcome = ReadCopies(server, roles, open, message, &result.copies);
    if (!outcome.ok()) return outcome;
    const std::vector<MessageCopy>& copies = result.copies;
    result.kept = CopyToKeep(copies);
    if (!result.kept) {
      const bool onRoad = std::any_of(
          copies.begin(), copies.end(),
          [](const MessageCopy& c) { return c.role != DatabaseRole::kOther; });
      result.problem =
          onRoad ? "the rules do not tell which copy to keep; a person must "
                   "choose"
                 : "no copy is in a database of the router's; a person must "
                   "choose";
      results->push_back(std::move(result));
      continue;
    }
    const MessageCopy& kept = copies[*result.kept];
    for (size_t i = 0; i < copies.size(); ++i) {
      if (i == *result.kept) continue;
      const MessageCopy& copy = copies[i];
      if (copy.role == DatabaseRole::kOther) {
        result.problem = "the copy in " + copy.database +
                         " is in none of the router's databases; a person "
                         "must choose";
        continue;
      }
      if (dryRun) {
        result.removed.push_back(i);
        continue;
      }
      Status s;
      Database* db = open.Get(copy.database, &s);
      if (db == nullptr)
        return StatusFailure("cannot open " + copy.database, s);
      bool removed = false;
      outcome = RemoveCopy(server, *db, message.unid, copy, &removed);
      if (!outcome.ok()) {
        results->push_back(std::move(result));
        return outcome;
      }
      if (!removed) {
        result.problem = "the copy in " + copy.database +
                         " changed meanwhile; run check again";
        continue;
      }
      result.removed.push_back(i);
      server.LogMessage(
          "vtserver: Removed the copy of message %s in %s (version %lu); it "
          "is kept in %s.",
          Status(), UnidText(message.unid).c_str(), copy.database.c_str(),
          static_cast<unsigned long>(copy.sequence), kept.database.c_str());
    }
    results->push_back(std::move(result));
  }
  return Outcome();
}

}  // namespace vt::tool

// Purging quarantined messages in batches, one durable transaction each.
#include "quarantine/QuarantinePurge.h"

#include <algorithm>
#include <map>
#include <set>

#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

constexpr size_t kPurgeBatch = 1000;

}  // namespace

Outcome PurgeOlder(NotesServices& notes, ServerAdmin& admin,
                   const std::vector<QuarantineFile>& files, int64_t cutoff,
                   bool dryRun, std::vector<PurgeResult>* results) {
  return Purge(
      notes, admin, files,
      [cutoff](const QuarantinedMessage& m) { return m.created < cutoff; },
      dryRun, results);
}

Outcome Purge(NotesServices& notes, ServerAdmin& admin,
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
      Database db(notes);
      Status s = db.Open(file.path);
      if (s.Is(err::kFileNotFound)) continue;
      if (!s.ok()) return StatusFailure("cannot open " + file.path, s);
      exists = true;
      std::vector<uint32_t> old;
      uint32_t total = 0;
      const Outcome read = ForEachQuarantined(
          notes, admin, file, [&](const QuarantinedMessage& message) {
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
          s = admin.DeleteDocuments(db.handle(), {old.data() + i, n}, {},
                                    &deleted);
          if (!s.ok()) return StatusFailure("cannot purge " + file.path, s);
          result.deleted += deleted;
        }
        if (result.deleted > 0) {
          notes.LogMessage("vtserver: Purged %lu quarantined messages from %s.",
                           Status(), static_cast<unsigned long>(result.deleted),
                           file.path.c_str());
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
        const Status s = admin.RemoveDatabase(file.path.c_str());
        if (!s.ok() && !s.Is(err::kFileNotFound)) {
          return StatusFailure("cannot remove the empty " + file.path, s);
        }
        result.removed = s.ok();
        if (result.removed) {
          notes.LogMessage("vtserver: Removed the empty quarantine %s.",
                           Status(), file.path.c_str());
        }
      }
    }
    results->push_back(result);
  }
  return Outcome();
}

}  // namespace vt::tool

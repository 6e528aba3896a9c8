// Opening the engine's scan boxes, mail boxes and quarantines, and rolling
// quarantines over when they fill.
#include "engine/EngineDatabases.h"

#include <new>
#include <string_view>
#include <vector>

#include "databases/DatabaseCreation.h"
#include "databases/RollOver.h"
#include "engine/MessageMover.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

struct Perimeter {
  std::unique_ptr<MailDatabase>* slot;
  EarlierQuarantines* earlier;
  FixedText<kPathSize>* path;
  FixedText<kServerNameSize>* server;
  const char* templatePath;
  const char* title;
};

std::array<Perimeter, 3> Perimeters(RouterEngine& engine) {
  ServerConfig& c = *engine.config;
  return {{
      {&engine.quarantineB, &engine.earlierQuarantines[0], &c.quarantinePathB,
       &c.quarantineServerB, kQuarantineTemplate, kTitleB},
      {&engine.quarantineC, &engine.earlierQuarantines[1], &c.quarantinePathC,
       &c.quarantineServerC, kQuarantineTemplate, kTitleC},
      {&engine.quarantineD, &engine.earlierQuarantines[2], &c.quarantinePathD,
       &c.quarantineServerD, kQuarantineDTemplate, kTitleD},
  }};
}

// Puts the new record in the slot and its path in the configuration; the
// old one stays open among the earlier quarantines.
void Replace(NotesServices& notes, std::unique_ptr<MailDatabase>& slot,
             EarlierQuarantines& earlier, FixedText<kPathSize>& pathField,
             std::unique_ptr<MailDatabase> created) {
  pathField.Assign(created->path.view());
  std::unique_ptr<MailDatabase> old = std::move(slot);
  slot = std::move(created);
  earlier.Remember(std::move(old));
  TaskLog(notes).Log(Status(), "Created new database %s.", slot->path.c_str());
}

}  // namespace

int OpenScanBoxes(RouterEngine& engine) {
  ServerConfig& config = *engine.config;
  engine.scanBoxes->Clear();
  for (const std::string& name : config.scanBoxNames) {
    std::unique_ptr<MailDatabase> record(new (std::nothrow)
                                             MailDatabase(engine.notes));
    if (!record) continue;
    const Status status = OpenOrCreateDatabase(
        *record, config.scanningServer.c_str(), name.c_str(), kScanBoxTemplate,
        kScanBoxTitle, config.dbHandle);
    if (status.ok()) engine.scanBoxes->Add(record);
  }
  return static_cast<int>(engine.scanBoxes->Count());
}

int OpenMailBoxes(RouterEngine& engine) {
  ServerConfig& config = *engine.config;
  TaskLog log(engine.notes);
  engine.openMailboxCount = 0;
  engine.mailboxHandles.fill(DbHandle());
  const bool local = IsLocalServer(config.mailboxServer.c_str());
  for (const std::string& path : config.mailboxNames) {
    if (engine.openMailboxCount == kMaxMailboxes) break;
    // Built in a larger buffer first: a name cut to fit would open another
    // database, so a name that does not fit is refused.
    FixedText<kNetPathSize> name;
    Status status;
    if (local) {
      name.Assign(path);
    } else {
      status = engine.notes.ConstructNetPath(
          nullptr, config.mailboxServer.c_str(), path.c_str(), name.span());
    }
    if (status.ok() && (name.size() >= kPathSize || path.size() >= kPathSize)) {
      status = err::kBufferTooSmall;
    }
    DbHandle& slot = engine.mailboxHandles[engine.openMailboxCount];
    if (status.ok()) status = engine.notes.OpenDatabase(name.c_str(), &slot);
    if (status.ok()) {
      ++engine.openMailboxCount;
    } else {
      slot = DbHandle();
      log.Log(status, "Unable to open database '%s'.  Skipping database.",
              name.empty() ? path.c_str() : name.c_str());
    }
  }
  if (engine.openMailboxCount == 0) {
    log.Log(Status(),
            "Unable to open any mail boxes on the mail box list.  Veltrane "
            "disabled.");
    return 0;
  }
  return engine.openMailboxCount;
}

Status OpenQuarantines(RouterEngine& engine) {
  for (const Perimeter& p : Perimeters(engine)) {
    if (!*p.slot || p.path->empty()) continue;
    const Status status =
        OpenOrCreateDatabase(**p.slot, p.server->c_str(), p.path->c_str(),
                             p.templatePath, p.title, engine.config->dbHandle);
    if (!status.ok()) return status;
    p.earlier->Find(engine.notes, **p.slot);
  }
  return Status();
}

void ReportDatabasesInTwoRoles(RouterEngine& engine) {
  struct Role {
    DbHandle db;
    const char* role;
    const char* path;  // null for a mail box: the engine keeps only handles
  };
  std::vector<Role> roles;
  for (int i = 0; i < engine.openMailboxCount; ++i) {
    roles.push_back({engine.mailboxHandles[i], "mail box", nullptr});
  }
  for (size_t i = 0; i < engine.scanBoxes->Count(); ++i) {
    const MailDatabase* box = engine.scanBoxes->At(i);
    if (box->IsOpen())
      roles.push_back({box->dbHandle, "scan box", box->path.c_str()});
  }
  for (const Perimeter& p : Perimeters(engine)) {
    const MailDatabase* q = p.slot->get();
    if (q != nullptr && q->IsOpen()) {
      roles.push_back({q->dbHandle, "quarantine", q->path.c_str()});
    }
  }
  TaskLog log(engine.notes);
  for (size_t i = 0; i < roles.size(); ++i) {
    for (size_t j = i + 1; j < roles.size(); ++j) {
      const Role& a = roles[i];
      const Role& b = roles[j];
      if (std::string_view(a.role) == b.role) continue;
      if (!SameDatabase(engine.notes, a.db, b.db)) continue;
      log.Log(Status(),
              "Database %s is both a %s and a %s.  No message is moved "
              "between a database and itself.",
              a.path != nullptr ? a.path : b.path, a.role, b.role);
    }
  }
}

int CheckQuarantineSizes(RouterEngine& engine) {
  int changes = 0;
  for (const Perimeter& p : Perimeters(engine)) {
    MailDatabase* record = p.slot->get();
    if (record == nullptr) continue;
    uint32_t used = 0, unused = 0;
    if (record->IsOpen()) {
      engine.notes.GetDatabaseSpace(record->dbHandle, &used, &unused)
          .IgnoreError();
    }
    if (used < engine.config->maxQuarantineBytes) continue;
    std::unique_ptr<MailDatabase> created = RollOverDatabase(*record, p.title);
    if (!created) continue;
    Replace(engine.notes, *p.slot, *p.earlier, *p.path, std::move(created));
    ++changes;
  }
  if (changes > 0) engine.config->SaveQuarantineNames().IgnoreError();
  return 0;
}

int ReplaceQuarantine(const char* title, ServerConfig& config,
                      std::unique_ptr<MailDatabase>& slot,
                      EarlierQuarantines& earlier,
                      FixedText<kPathSize>& pathField) {
  if (!slot) return 0;
  std::unique_ptr<MailDatabase> created = RollOverDatabase(*slot, title);
  if (!created) return 0;
  Replace(config.notes(), slot, earlier, pathField, std::move(created));
  config.SaveQuarantineNames().IgnoreError();
  return 1;
}

}  // namespace vt

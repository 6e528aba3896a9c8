// Gathering the figures of `vtserver stats`. Every database is read once,
// in one summary scan of the server's; the mail and scan boxes are
// judged on the way with the router's own selection formulas, evaluated by
// the server's formula engine, so that "waiting" means exactly what the
// router will pick up.
#include "stats/Stats.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <system_error>

#include "databases/RouterItems.h"
#include "datadir/Databases.h"
#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "engine/SelectionFormula.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "notes/TimeDate.h"
#include "quarantine/DatabaseRoles.h"
#include "quarantine/Quarantine.h"
#include "server/smtp/OutboundQueue.h"
#include "stats/TwoPlaces.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

constexpr char kHeldFormula[] = "SELECT RoutingState = \"HOLD\"";
constexpr char kUnverifiedFormula[] = "SELECT VeltraneVerified != \"1\"";
constexpr char kDeadFormula[] = "SELECT RoutingState = \"DEAD\"";

// The router's selection formulas, compiled once for the whole gathering,
// in the order of their bits in a scanned document's selected mask.
enum Selection {
  kIntercept,
  kDeadMail,
  kHeld,
  kUnverified,
  kDeliverable,
  kDead,
  kSelections
};

struct Selections {
  explicit Selections(NotesServices& notes)
      : formulas{CompiledFormula(notes), CompiledFormula(notes),
                 CompiledFormula(notes), CompiledFormula(notes),
                 CompiledFormula(notes), CompiledFormula(notes)} {}
  std::array<CompiledFormula, kSelections> formulas;
  std::array<MemHandle, kSelections> handles{};
};

Status CompileSelections(bool alternateInterceptor, Selections* selections) {
  // With AlternateInterceptor the router intercepts held mail instead.
  const std::array<const char*, kSelections> texts = {
      alternateInterceptor ? kHoldInterceptFormula
                           : kSlotFormulas[kSlotIntercept],
      kSlotFormulas[kSlotDeadMail],
      kHeldFormula,
      kUnverifiedFormula,
      smtp::kDeliverableFormula,
      kDeadFormula};
  for (size_t i = 0; i < texts.size(); ++i) {
    const Status s = selections->formulas[i].Compile(nullptr, texts[i]);
    if (!s.ok()) return s;
    selections->handles[i] = selections->formulas[i].handle();
  }
  return Status();
}

bool Selected(const ServerAdmin::Document& document, Selection which) {
  return (document.selected & (1u << which)) != 0;
}

// What a database is to the router, by its path relative to the root.
struct Role {
  bool mailBox = false;
  bool scanBox = false;
  char perimeter = 0;    // a quarantine of that perimeter
  bool current = false;  // the one the router fills now
};

const NoteItem* SummaryItem(const ServerAdmin::Document& document,
                            const char* name) {
  return document.summary == nullptr ? nullptr
                                     : FindItem(*document.summary, name);
}

std::optional<int64_t> SummaryTime(const ServerAdmin::Document& document,
                                   const char* name) {
  const NoteItem* item = SummaryItem(document, name);
  if (item == nullptr || item->type != kTypeTime) return std::nullopt;
  const auto td = item::DecodeTime(item->value);
  if (!td) return std::nullopt;
  return UnixCentisFromTimeDate(*td);
}

std::string SummaryText(const ServerAdmin::Document& document,
                        const char* name) {
  const NoteItem* item = SummaryItem(document, name);
  if (item == nullptr || item->type != kTypeText) return std::string();
  return std::string(item->value.begin(), item->value.end());
}

uint64_t FileBytes(const fs::path& file) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// One pass over the documents of a database, adding what its role asks for.
// Whether path names a file of this data directory, not a database kept in
// PostgreSQL or on another server.
bool IsFilePath(const LocalNotesServices& server, const std::string& path) {
  return path.find("!!") == std::string::npos &&
         server.serverIni().databases().empty();
}

// The space a database kept elsewhere reports.
uint64_t StoredBytes(LocalNotesServices& server, const std::string& path) {
  Database db(server);
  uint32_t used = 0;
  if (!db.Open(path).ok() ||
      !server.GetDatabaseSpace(db.handle(), &used, nullptr).ok()) {
    return 0;
  }
  return used;
}

// The databases of this server, then those of the other servers that hold
// boxes or quarantines (as "server!!path").
std::vector<std::string> ListedDatabases(
    const LocalNotesServices& server,
    const std::map<std::string, Role>& roles) {
  std::vector<std::string> paths;
  server.ListDatabases({}, &paths).IgnoreError();
  std::set<std::string> others;
  for (const auto& [path, role] : roles) {
    const size_t bang = path.find("!!");
    if (bang != std::string::npos) others.insert(path.substr(0, bang));
  }
  for (const std::string& other : others) {
    std::vector<std::string> listed;
    if (server.ListDatabases(other, &listed).ok()) {
      for (const std::string& path : listed) {
        paths.push_back(other + "!!" + path);
      }
      continue;
    }
    // Out of reach: its boxes and quarantines are listed all the same, so
    // that each shows why it cannot be read.
    for (const auto& [path, role] : roles) {
      if (path.rfind(other + "!!", 0) == 0) paths.push_back(path);
    }
  }
  return paths;
}

Outcome ScanDatabase(LocalNotesServices& server, const std::string& path,
                     const Role& role, const Selections& selections,
                     Stats* stats, DatabaseStats* figures,
                     QuarantineStats* quarantine, TwoPlacesFinder* finder) {
  Database db(server);
  Status s = db.Open(path);
  if (!s.ok()) return StatusFailure("cannot open " + path, s);
  if (quarantine != nullptr && role.current) {
    uint32_t used = 0;
    uint32_t unused = 0;
    s = server.GetDatabaseSpace(db.handle(), &used, &unused);
    if (!s.ok()) return StatusFailure("cannot measure " + path, s);
    quarantine->usedBytes = used;
  }
  BacklogStats& backlog = stats->backlog;
  uint64_t documents = 0;
  finder->StartDatabase(path);
  ServerAdmin::ScanOptions options;
  // Only the mail and scan boxes are judged; any other is only counted.
  if (role.mailBox || role.scanBox) options.selections = selections.handles;
  // Delivery's bookkeeping is read from the mail boxes' summaries.
  options.summary = role.mailBox;
  DeliveryStats& delivery = stats->delivery;
  s = server.ScanDocuments(
      db.handle(), options,
      [&](const ServerAdmin::Document& document) -> Status {
        ++documents;
        finder->Add(document);
        if (role.mailBox) {
          if (Selected(document, kIntercept) || Selected(document, kDeadMail)) {
            ++backlog.waitingInterception;
          }
          if (Selected(document, kHeld)) ++backlog.held;
          if (Selected(document, kDead)) ++delivery.dead;
          if (Selected(document, kDeliverable)) {
            const std::optional<int64_t> next =
                SummaryTime(document, smtp::kItemSmtpNextAttempt);
            if (next && *next > stats->now) {
              if (delivery.deferred++ == 0) {
                delivery.lastDeferral =
                    SummaryText(document, smtp::kItemSmtpLastReply);
              }
            } else {
              ++delivery.waiting;
            }
          }
        }
        if (role.scanBox && Selected(document, kUnverified)) {
          ++backlog.waitingScanner;
          // Since it entered the scan box: its creation time may be long
          // before (old mail, or mail held up while the router was down).
          if (!backlog.oldestWaitingScanner ||
              document.added < *backlog.oldestWaitingScanner) {
            backlog.oldestWaitingScanner = document.added;
          }
        }
        return Status();
      });
  if (!s.ok()) return StatusFailure("cannot read " + path, s);
  figures->documents = documents;
  if (quarantine != nullptr) quarantine->messages += documents;
  return Outcome();
}

}  // namespace

int64_t Stats::OldestWaitingScannerAgeSeconds() const {
  if (!backlog.oldestWaitingScanner) return 0;
  // A message stamped ahead of this clock has waited no time yet.
  return std::max<int64_t>(0, (now - *backlog.oldestWaitingScanner) / 100);
}

Stats GatherStats(LocalNotesServices& server) {
  Stats stats;
  stats.now = server.clock().NowUnixCentis();
  const fs::path& root = server.dataDirectory().root();
  stats.router = ReadRouterStatus(server);
  for (const ServerAdmin::TaskLine& line : server.ReadTaskLines()) {
    if (line.name == scanner::kScannerStatusLineName) {
      const auto counts = scanner::ParseScannerStatus(line.text);
      if (counts) stats.scanner = ScannerServiceStats{line.running, *counts};
    }
    if (line.name != smtp::kServiceStatusLineName) continue;
    const auto counts = smtp::ParseServiceStatus(line.text);
    if (counts) stats.smtp = SmtpServiceStats{line.running, *counts};
  }

  std::map<std::string, Role> roles;
  RouterSettings settings;
  const Outcome read = ReadRouterSettings(server, &settings);
  if (read.ok()) {
    for (const std::string& box : settings.mailBoxes) {
      roles[ListedPath(server, box)].mailBox = true;
    }
    for (const std::string& box : settings.scanBoxes) {
      roles[ListedPath(server, box)].scanBox = true;
    }
    for (const PerimeterSettings& p : settings.perimeters) {
      QuarantineStats q;
      q.perimeter = p.letter;
      q.limitBytes = settings.maxQuarantineBytes;
      stats.quarantines.push_back(q);
    }
    for (const QuarantineFile& file : QuarantineFiles(server, settings, 0)) {
      Role& role = roles[file.path];
      role.perimeter = file.perimeter;
      role.current = file.current;
      if (file.current) {
        for (QuarantineStats& q : stats.quarantines) {
          if (q.perimeter == file.perimeter) q.path = file.path;
        }
      }
    }
    // A box whose path does not resolve stays under the empty name.
    roles.erase(std::string());
  } else {
    stats.configProblem = read.message();
  }

  Selections selections(server);
  const Status compiled =
      CompileSelections(settings.alternateInterceptor, &selections);
  if (!compiled.ok()) {
    stats.configProblem =
        StatusFailure("cannot compile the router's selections", compiled)
            .message();
    roles.clear();
  }

  TwoPlacesFinder finder;
  for (const std::string& path : ListedDatabases(server, roles)) {
    DatabaseStats figures;
    figures.path = path;
    const fs::path file = root / path;
    figures.sizeBytes =
        IsFilePath(server, path)
            ? FileBytes(file) + FileBytes(file.string() + "-wal")
            : StoredBytes(server, path);
    const auto found = roles.find(path);
    const Role role = found == roles.end() ? Role() : found->second;
    QuarantineStats* quarantine = nullptr;
    for (QuarantineStats& q : stats.quarantines) {
      if (q.perimeter == role.perimeter) quarantine = &q;
    }
    if (quarantine != nullptr) {
      ++quarantine->files;
      if (role.current) quarantine->exists = true;
    }
    const Outcome scanned = ScanDatabase(server, path, role, selections, &stats,
                                         &figures, quarantine, &finder);
    if (!scanned.ok()) {
      figures.problem = scanned.message();
      if (role.mailBox || role.scanBox) {
        stats.backlog.unreadBoxes.push_back(path);
      }
      if (quarantine != nullptr && quarantine->problem.empty()) {
        quarantine->problem = scanned.message();
      }
    }
    stats.databases.push_back(std::move(figures));
  }
  // Counted only: which database is what matters to check, not here.
  stats.messagesInTwoPlaces = finder.Finish(server, DatabaseRoles()).size();
  return stats;
}

}  // namespace vt::tool

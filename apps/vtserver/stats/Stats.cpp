// Gathering the figures of `vtserver stats`. Every database is read once,
// straight from the store's summary scan; the mail and scan boxes are
// judged on the way with the router's own selection formulas, evaluated by
// the server's formula engine, so that "waiting" means exactly what the
// router will pick up.
#include "stats/Stats.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <system_error>

#include "databases/RouterItems.h"
#include "datadir/Databases.h"
#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "engine/SelectionFormula.h"
#include "notes/HandleOwners.h"
#include "quarantine/DatabaseRoles.h"
#include "quarantine/Quarantine.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/BlobItemSource.h"
#include "stats/TwoPlaces.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

constexpr char kHeldFormula[] = "SELECT RoutingState = \"HOLD\"";
constexpr char kUnverifiedFormula[] = "SELECT VeltraneVerified != \"1\"";

// Consumes literal from the front of text.
bool Take(std::string_view& text, std::string_view literal) {
  if (text.substr(0, literal.size()) != literal) return false;
  text.remove_prefix(literal.size());
  return true;
}

bool TakeNumber(std::string_view& text, int64_t* value) {
  const char* end = text.data() + text.size();
  const auto [next, ec] = std::from_chars(text.data(), end, *value);
  if (ec != std::errc() || next == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(next - text.data()));
  return true;
}

// The router's selection formulas, compiled once for the whole gathering.
struct Selections {
  formula::FormulaProgram intercept;
  formula::FormulaProgram deadMail;
  formula::FormulaProgram held;
  formula::FormulaProgram unverified;
};

Status Compile(const char* text, formula::FormulaProgram* program) {
  std::vector<uint8_t> blob;
  const Status s = formula::CompileFormula({}, text, &blob, nullptr);
  return s.ok() ? formula::DecodeFormula(blob, program) : s;
}

Status CompileSelections(bool alternateInterceptor, Selections* selections) {
  // With AlternateInterceptor the router intercepts held mail instead.
  Status s = Compile(alternateInterceptor ? kHoldInterceptFormula
                                          : kSlotFormulas[kSlotIntercept],
                     &selections->intercept);
  if (s.ok()) s = Compile(kSlotFormulas[kSlotDeadMail], &selections->deadMail);
  if (s.ok()) s = Compile(kHeldFormula, &selections->held);
  if (s.ok()) s = Compile(kUnverifiedFormula, &selections->unverified);
  return s;
}

// What a database is to the router, by its path relative to the root.
struct Role {
  bool mailBox = false;
  bool scanBox = false;
  char perimeter = 0;    // a quarantine of that perimeter
  bool current = false;  // the one the router fills now
};

uint64_t FileBytes(const fs::path& file) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// One pass over the documents of a database, adding what its role asks for.
Outcome ScanDatabase(LocalNotesServices& server, const std::string& path,
                     const Role& role, const Selections& selections,
                     Stats* stats, DatabaseStats* figures,
                     QuarantineStats* quarantine, TwoPlacesFinder* finder) {
  Database db(server);
  Status s = db.Open(path);
  if (!s.ok()) return StatusFailure("cannot open " + path, s);
  store::NsfDatabase* database = server.Database(db.handle());
  if (database == nullptr) return StatusFailure(path, err::kInvalidHandle);
  if (quarantine != nullptr && role.current) {
    uint32_t used = 0;
    uint32_t unused = 0;
    s = server.GetDatabaseSpace(db.handle(), &used, &unused);
    if (!s.ok()) return StatusFailure("cannot measure " + path, s);
    quarantine->usedBytes = used;
  }
  BacklogStats& backlog = stats->backlog;
  const TimeDate now;  // the formulas here do not read @Now
  uint64_t documents = 0;
  finder->StartDatabase(path);
  s = database->ForEachNote(
      kNoteClassDocument, [&](const store::ScanEntry& entry) -> Status {
        ++documents;
        finder->Add(entry);
        if (!role.mailBox && !role.scanBox) return Status();
        const store::BlobItemSource note(entry.summary, {}, entry.created,
                                         entry.modified);
        if (role.mailBox) {
          if (selections.intercept.Selects(note, now) ||
              selections.deadMail.Selects(note, now)) {
            ++backlog.waitingInterception;
          }
          if (selections.held.Selects(note, now)) ++backlog.held;
        }
        if (role.scanBox && selections.unverified.Selects(note, now)) {
          ++backlog.waitingScanner;
          if (!backlog.oldestWaitingScanner ||
              entry.created < *backlog.oldestWaitingScanner) {
            backlog.oldestWaitingScanner = entry.created;
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

const char* RouterStateName(RouterState state) {
  switch (state) {
    case RouterState::kRunning:
      return "running";
    case RouterState::kPaused:
      return "paused";
    case RouterState::kStopped:
      break;
  }
  return "stopped";
}

RouterStatus ParseRouterStatusText(std::string_view text) {
  RouterStatus status;
  status.text = std::string(text);
  if (text == kPausedStatus) {
    status.state = RouterState::kPaused;
    return status;
  }
  status.state = RouterState::kRunning;
  // "v%s - Mail: %ld  Spam-D: %ld  Spam-C: %ld  Spam-B: %ld", written after
  // every pass; the version may hold blanks ("(version unavailable)").
  const size_t dash = text.rfind(" - Mail: ");
  if (text.empty() || text.front() != 'v' || dash == std::string_view::npos) {
    return status;
  }
  std::string_view rest = text.substr(dash);
  RouterTotals totals;
  if (Take(rest, " - Mail: ") && TakeNumber(rest, &totals.mail) &&
      Take(rest, "  Spam-D: ") && TakeNumber(rest, &totals.spamD) &&
      Take(rest, "  Spam-C: ") && TakeNumber(rest, &totals.spamC) &&
      Take(rest, "  Spam-B: ") && TakeNumber(rest, &totals.spamB) &&
      rest.empty()) {
    status.version = std::string(text.substr(1, dash - 1));
    status.totals = totals;
  }
  return status;
}

RouterStatus ReadRouterStatus(const fs::path& root) {
  for (const console::StatusLineInfo& line :
       console::StatusLines::ReadAll(root)) {
    if (line.running && line.name == kStatusLineName) {
      return ParseRouterStatusText(line.text);
    }
  }
  return RouterStatus();
}

int64_t Stats::OldestWaitingScannerAgeSeconds() const {
  if (!backlog.oldestWaitingScanner) return 0;
  // A message stamped ahead of this clock has waited no time yet.
  return std::max<int64_t>(0, (now - *backlog.oldestWaitingScanner) / 100);
}

Stats GatherStats(LocalNotesServices& server) {
  Stats stats;
  stats.now = server.clock().NowUnixCentis();
  const fs::path& root = server.dataDirectory().root();
  stats.router = ReadRouterStatus(root);

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

  Selections selections;
  const Status compiled =
      CompileSelections(settings.alternateInterceptor, &selections);
  if (!compiled.ok()) {
    stats.configProblem =
        StatusFailure("cannot compile the router's selections", compiled)
            .message();
    roles.clear();
  }

  TwoPlacesFinder finder;
  for (const std::string& path : DatabaseFiles(root)) {
    DatabaseStats figures;
    figures.path = path;
    const fs::path file = root / path;
    figures.sizeBytes = FileBytes(file) + FileBytes(file.string() + "-wal");
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

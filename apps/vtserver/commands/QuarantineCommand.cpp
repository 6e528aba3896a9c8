// `vtserver quarantine DIR list|show|release|purge`: the quarantine as an
// administrator reviews it (whom a message was for, why it was taken, what
// it says), releases false positives (teaching the engines, when asked) and
// expires old spam.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/ItemText.h"
#include "datadir/JsonOut.h"
#include "datadir/RouterSettings.h"
#include "notes/HandleOwners.h"
#include "quarantine/Learning.h"
#include "quarantine/MessagePreview.h"
#include "quarantine/Quarantine.h"
#include "quarantine/QuarantineJson.h"
#include "quarantine/QuarantineLock.h"
#include "quarantine/QuarantinePurge.h"
#include "quarantine/QuarantineRelease.h"

namespace vt::tool {
namespace {

constexpr int64_t kCentisPerDay = 86400LL * 100;
// A list's subject is cut to this many bytes; `show` gives it whole.
constexpr size_t kListedSubjectBytes = 72;
constexpr size_t kMaxScoreWidth = 40;

void Emit(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string Column(std::string text, size_t width) {
  if (text.size() > width) {
    text.resize(width - 3);
    text.append("...");
  }
  text.resize(width, ' ');
  return text;
}

// At most limit bytes, cut at a character's boundary, with an ellipsis.
std::string Cut(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  text.resize(cut);
  return text + "\u2026";
}

// "812 B", "14.2 KiB", "3.1 MiB"; "-" when unknown.
std::string SizeText(const std::optional<uint64_t>& size) {
  if (!size) return "-";
  if (*size < 1024) return std::to_string(*size) + " B";
  double scaled = static_cast<double>(*size) / 1024;
  const char* unit = "KiB";
  if (scaled >= 1024) {
    scaled /= 1024;
    unit = "MiB";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", scaled, unit);
  return text;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) {
    joined.append(joined.empty() ? "" : ", ").append(text);
  }
  return joined;
}

void PrintMessages(const std::vector<QuarantinedMessage>& messages) {
  if (messages.empty()) {
    Emit("no quarantined messages\n");
    return;
  }
  constexpr size_t kMaxNameWidth = 32;
  size_t dbWidth = 8, fromWidth = 4, toWidth = 2, scoreWidth = 5;
  for (const QuarantinedMessage& m : messages) {
    dbWidth = std::max(dbWidth, m.database.size());
    fromWidth = std::clamp(m.from.size(), fromWidth, kMaxNameWidth);
    toWidth = std::clamp(Joined(m.recipients).size(), toWidth, kMaxNameWidth);
    scoreWidth =
        std::clamp(ScoreSummary(m.scan).size(), scoreWidth, kMaxScoreWidth);
  }
  std::string out =
      "P  " + Column("DATABASE", dbWidth) + "  NOTE ID     " +
      Column("UNIVERSAL ID", 32) + "  " + Column("DATE (UTC)", 19) + "  " +
      Column("FROM", fromWidth) + "  " + Column("TO", toWidth) + "  " +
      Column("SCORE", scoreWidth) + "  " + Column("SIZE", 9) + "  SUBJECT\n";
  for (const QuarantinedMessage& m : messages) {
    const std::string score = ScoreSummary(m.scan);
    out.push_back(m.perimeter);
    out.append("  " + Column(m.database, dbWidth) + "  " +
               Column(NoteIdText(m.noteId), 10) + "  " + UnidText(m.unid) +
               "  " + UtcText(m.created) + "  " +
               Column(Printable(m.from), fromWidth) + "  " +
               Column(Printable(Joined(m.recipients)), toWidth) + "  " +
               Column(score.empty() ? "-" : Printable(score), scoreWidth) +
               "  " + Column(SizeText(m.size), 9) + "  " +
               Printable(Cut(m.subject, kListedSubjectBytes)) + "\n");
  }
  Emit(out);
}

// Why the scanner quarantined it, per engine, for `show`.
std::string EvidenceText(const ScanEvidence& scan) {
  if (scan.empty()) return "Scan:         (no scanner's evidence)\n";
  std::string out;
  const char* label = "Scan:         ";
  for (const EngineEvidence& e : scan.engines) {
    std::string line = e.engine;
    if (!e.virus.empty()) line += " found " + e.virus;
    if (!e.score.empty()) line += " " + e.score;
    if (!e.required.empty()) line += " of " + e.required;
    if (!e.action.empty()) line += " (" + e.action + ")";
    if (!e.rules.empty()) {
      line += ":";
      for (const std::string& rule : e.rules) line += " " + rule;
    }
    out.append(label + Printable(line) + "\n");
    label = "              ";
  }
  if (!scan.time.empty()) {
    out.append("Scanned:      " + Printable(scan.time) +
               (scan.millis.empty() ? "" : ", in " + scan.millis + " ms") +
               "\n");
  }
  return out;
}

// Multi-line text indented under its label, control characters as '?', so
// that it stays readable and cannot fake an item or reach the terminal.
std::string Indented(std::string value) {
  while (!value.empty() && value.back() == '\n') value.pop_back();
  for (char& c : value) {
    if (c == '\n') continue;
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  std::string indented;
  for (const char c : value) {
    indented.push_back(c);
    if (c == '\n') indented.append("    ");
  }
  return indented;
}

class QuarantineCommand : public DataDirCommand {
 public:
  QuarantineCommand()
      : DataDirCommand("quarantine",
                       "Review the quarantine: list, show, release or purge "
                       "quarantined messages") {}

 private:
  DataDirOptions Options() const override {
    // Listing reads only; release and purge write.
    return list_->parsed() || show_->parsed() ? DataDirOptions::ReadOnly()
                                              : DataDirOptions();
  }

  void AddArguments(CLI::App& sub) override {
    sub.require_subcommand(1);
    list_ =
        sub.add_subcommand("list", "List quarantined messages, newest first");
    AddSearchOptions(*list_);
    list_->add_option("--to,--recipient", to_,
                      "a recipient contains this (any case)");
    list_->add_option("--limit", limit_, "at most this many")
        ->check(CLI::PositiveNumber);
    list_->add_flag("--json", json_, "print JSON");

    show_ = sub.add_subcommand(
        "show", "Show one message: why it was taken, a preview, every item");
    show_->add_option("ID", ids_, "its universal ID")->required()->expected(1);
    show_->add_flag("--json", json_, "print JSON");

    release_ = sub.add_subcommand(
        "release", "Release messages to a mail box as ordinary mail");
    release_->add_option("ID", ids_, "universal IDs");
    release_->add_option("--to", mailBox_,
                         "the mail box (default: the router's first)");
    release_->add_flag("--all-matching", allMatching_,
                       "every message the search options find, instead of IDs");
    AddSearchOptions(*release_);
    // --to names the mail box here, as it always has.
    release_->add_option("--recipient", to_,
                         "a recipient contains this (any case)");
    release_->add_flag("--force", force_,
                       "with --all-matching and no search option: release "
                       "the whole quarantine");
    release_->add_flag("--learn", learn_,
                       "teach the spam engines each released message as ham");

    purge_ = sub.add_subcommand("purge",
                                "Delete quarantined messages older "
                                "than DAYS; remove emptied, "
                                "rolled-over quarantines");
    purge_->add_option("--older-than", days_, "age in days")
        ->required()
        ->check(CLI::NonNegativeNumber);
    AddPerimeterOption(*purge_);
    purge_->add_flag("--dry-run", dryRun_, "count, change nothing");
  }

  void AddSearchOptions(CLI::App& sub) {
    AddPerimeterOption(sub);
    sub.add_option("--from", from_, "From contains this (any case)");
    sub.add_option("--subject", subject_, "Subject contains this (any case)");
    sub.add_option("--since", since_, "written at or after (UTC date[ time])");
    sub.add_option("--before", before_, "written before (UTC date[ time])");
  }

  void AddPerimeterOption(CLI::App& sub) {
    sub.add_option("--perimeter", perimeter_, "B, C or D")
        ->check(CLI::IsMember({"B", "C", "D"}, CLI::ignore_case));
  }

  Outcome CheckArguments() override {
    if (!since_.empty() && !ParseUtcDate(since_, &sinceCentis_)) {
      return Outcome::Failure("--since: not a date (YYYY-MM-DD[ HH:MM[:SS]])");
    }
    if (!before_.empty() && !ParseUtcDate(before_, &beforeCentis_)) {
      return Outcome::Failure("--before: not a date (YYYY-MM-DD[ HH:MM[:SS]])");
    }
    if (release_->parsed()) {
      if (allMatching_ == !ids_.empty()) {
        return Outcome::Failure(
            "release: give either IDs or --all-matching with search options");
      }
      const bool searched = Narrows(Query()) || !perimeter_.empty();
      if (!allMatching_ && searched) {
        return Outcome::Failure(
            "release: search options choose messages only with "
            "--all-matching");
      }
      if (allMatching_ && !searched && !force_) {
        return Outcome::Failure(
            "release --all-matching without a search option (--from, "
            "--recipient, --subject, --since, --before, --perimeter) releases "
            "the whole quarantine: add --force to mean it");
      }
    }
    return Outcome();
  }

  QuarantineQuery Query() const {
    QuarantineQuery query;
    query.from = from_;
    query.subject = subject_;
    query.to = to_;
    if (!since_.empty()) query.since = sinceCentis_;
    if (!before_.empty()) query.before = beforeCentis_;
    return query;
  }

  Outcome RunOn(LocalNotesServices& server) override {
    RouterSettings settings;
    Outcome outcome = ReadRouterSettings(server, &settings);
    if (!outcome.ok()) return outcome;
    const char letter = perimeter_.empty() ? 0 : perimeter_[0];
    const std::vector<QuarantineFile> files =
        QuarantineFiles(server, settings, letter);
    if (list_->parsed()) return List(server, files);
    if (show_->parsed()) return Show(server, files);
    QuarantineLock lock;
    if (!lock.Acquire()) return QuarantineLock::BusyFailure();
    if (release_->parsed()) return Release(server, settings, files);
    return PurgeOld(server, files);
  }

  Outcome List(LocalNotesServices& server,
               const std::vector<QuarantineFile>& files) {
    QuarantineQuery query = Query();
    query.limit = limit_;
    QuarantinePage page;
    const Outcome outcome = ListQuarantined(server, files, query, &page);
    if (!outcome.ok()) return outcome;
    if (json_) {
      Json list = Json::array();
      for (const QuarantinedMessage& m : page.messages) {
        list.push_back(QuarantinedMessageJson(m));
      }
      PrintJson(list);
    } else {
      PrintMessages(page.messages);
    }
    return Outcome();
  }

  Outcome Show(LocalNotesServices& server,
               const std::vector<QuarantineFile>& files) {
    QuarantinedNote note;
    const Outcome outcome =
        ReadQuarantinedNote(server, files, ids_.front(), &note);
    if (!outcome.ok()) return outcome;
    if (json_) {
      PrintJson(QuarantinedNoteJson(note));
      return Outcome();
    }
    const BodyPreview preview = PreviewOfNote(note.items);
    std::string out =
        "Perimeter:    " + std::string(1, note.hit.file.perimeter) +
        "\nDatabase:     " + note.hit.file.path +
        "\nNote ID:      " + NoteIdText(note.hit.noteId) +
        "\nUniversal ID: " + UnidText(note.unid) +
        "\nDate:         " + UtcText(note.created) + " UTC" +
        "\nTo:           " + Printable(Joined(RecipientsOf(note.items))) +
        "\nSize:         " + SizeText(MessageSizeOf(note.items)) + "\n" +
        EvidenceText(ScanEvidenceOf(note.items));
    out.append("Preview:");
    if (preview.fromHtml) out.append(" (from HTML)");
    if (preview.truncated) {
      out.append(" (the first " + std::to_string(kPreviewBytes) + " bytes)");
    }
    out.append("\n    " + Indented(preview.text) + "\nItems:\n");
    for (const NoteItem& item : note.items) {
      out.append(Printable(item.name) + " = " + Indented(DisplayValue(item)) +
                 "\n");
    }
    Emit(out);
    return Outcome();
  }

  Outcome Release(LocalNotesServices& server, const RouterSettings& settings,
                  const std::vector<QuarantineFile>& files) {
    std::unique_ptr<scanner::EngineSet> engines;
    Outcome outcome;
    // Refused before anything is released: a release cannot be taken back.
    if (learn_) outcome = LearningEngines(server, &engines);
    if (!outcome.ok()) return outcome;
    MailBoxes mailBoxes;
    outcome = mailBoxes.Open(server, settings);
    if (!outcome.ok()) return outcome;
    int target = 0;
    if (!mailBox_.empty()) {
      target = mailBoxes.Find(mailBox_);
      if (target < 0) {
        std::string names;
        for (const std::string& name : settings.mailBoxes) {
          names.append(names.empty() ? "" : ", ").append(name);
        }
        return Outcome::Failure("--to " + mailBox_ +
                                " is none of the router's mail boxes (" +
                                names + ")");
      }
    }
    if (allMatching_) {
      outcome = MatchingIds(server, files, Query(), &ids_);
      if (!outcome.ok()) return outcome;
    }
    int failed = 0;
    int released = 0;
    int unlearnt = 0;
    ReleaseEach(server, files, mailBoxes, static_cast<size_t>(target), ids_,
                engines.get(), [&](const ReleaseResult& result) {
                  if (!result.outcome.ok()) {
                    // Each ID's failure on its own line; the others still go.
                    std::fflush(stdout);
                    ReportFailure(result.outcome);
                    ++failed;
                    return;
                  }
                  ++released;
                  std::printf("%s: released from %s to %s\n", result.id.c_str(),
                              result.released.from.c_str(),
                              result.released.to.c_str());
                  if (!result.learning) return;
                  const std::string summary = result.learning->Summary(false);
                  if (!summary.empty()) {
                    std::printf("%s: %s\n", result.id.c_str(), summary.c_str());
                  }
                  std::fflush(stdout);
                  for (const std::string& failure : result.learning->failures) {
                    std::fprintf(stderr, "vtserver: %s\n", failure.c_str());
                  }
                  if (!result.learning->ok()) ++unlearnt;
                });
    if (allMatching_) {
      std::printf("%d of %zu matching messages released\n", released,
                  ids_.size());
    }
    std::fflush(stdout);
    if (failed > 0) {
      return Outcome::Failure(std::to_string(failed) + " of " +
                              std::to_string(ids_.size()) +
                              " messages not released");
    }
    if (unlearnt > 0) {
      return Outcome::Failure(std::to_string(unlearnt) + " of " +
                              std::to_string(released) +
                              " released messages not learnt by every engine");
    }
    return Outcome();
  }

  Outcome PurgeOld(LocalNotesServices& server,
                   const std::vector<QuarantineFile>& files) {
    const int64_t cutoff = server.clock().NowUnixCentis() -
                           static_cast<int64_t>(days_) * kCentisPerDay;
    std::vector<PurgeResult> results;
    const Outcome outcome =
        PurgeOlder(server, server, files, cutoff, dryRun_, &results);
    std::string out;
    for (const PurgeResult& r : results) {
      out.append(r.database + ": " + std::to_string(r.deleted) +
                 (dryRun_ ? " would be deleted, " : " deleted, ") +
                 std::to_string(r.remaining) + " left");
      if (r.removed) out.append(dryRun_ ? ", would be removed" : ", removed");
      out.push_back('\n');
    }
    if (results.empty()) out = "no quarantine databases\n";
    Emit(out);
    std::fflush(stdout);
    return outcome;
  }

  CLI::App* list_ = nullptr;
  CLI::App* show_ = nullptr;
  CLI::App* release_ = nullptr;
  CLI::App* purge_ = nullptr;
  std::string perimeter_;
  std::string from_;
  std::string subject_;
  std::string since_;
  std::string before_;
  int64_t sinceCentis_ = 0;
  int64_t beforeCentis_ = 0;
  size_t limit_ = 0;
  bool json_ = false;
  std::vector<std::string> ids_;
  std::string to_;       // the recipient searched for
  std::string mailBox_;  // where a release goes
  bool allMatching_ = false;
  bool force_ = false;
  bool learn_ = false;
  unsigned days_ = 0;
  bool dryRun_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeQuarantineCommand() {
  return std::make_unique<QuarantineCommand>();
}

}  // namespace vt::tool

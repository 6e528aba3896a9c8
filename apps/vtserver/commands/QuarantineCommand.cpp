// `vtserver quarantine DIR list|show|release|purge`: the quarantine as an
// administrator reviews it, releases false positives and expires old spam.
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
#include "quarantine/Quarantine.h"
#include "quarantine/QuarantineJson.h"
#include "quarantine/QuarantineLock.h"
#include "quarantine/QuarantinePurge.h"
#include "quarantine/QuarantineRelease.h"

namespace vt::tool {
namespace {

constexpr int64_t kCentisPerDay = 86400LL * 100;

void Emit(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// "2026-12-09", "2026-12-09 14:03" or "2026-12-09T14:03:07", in UTC.
bool ParseUtc(const std::string& text, int64_t* centis) {
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S",
                             "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), format, &tm);
    if (end != nullptr && *end == '\0') {
      *centis = static_cast<int64_t>(timegm(&tm)) * 100;
      return true;
    }
  }
  return false;
}

std::string Column(std::string text, size_t width) {
  if (text.size() > width) {
    text.resize(width - 3);
    text.append("...");
  }
  text.resize(width, ' ');
  return text;
}

void PrintMessages(const std::vector<QuarantinedMessage>& messages) {
  if (messages.empty()) {
    Emit("no quarantined messages\n");
    return;
  }
  constexpr size_t kMaxNameWidth = 32;
  size_t dbWidth = 8, fromWidth = 4, toWidth = 6;
  for (const QuarantinedMessage& m : messages) {
    dbWidth = std::max(dbWidth, m.database.size());
    fromWidth = std::clamp(m.from.size(), fromWidth, kMaxNameWidth);
    toWidth = std::clamp(m.sendTo.size(), toWidth, kMaxNameWidth);
  }
  std::string out = "P  " + Column("DATABASE", dbWidth) + "  NOTE ID     " +
                    Column("UNIVERSAL ID", 32) + "  " +
                    Column("DATE (UTC)", 19) + "  " +
                    Column("FROM", fromWidth) + "  " +
                    Column("SENDTO", toWidth) + "  SUBJECT\n";
  for (const QuarantinedMessage& m : messages) {
    out.push_back(m.perimeter);
    out.append("  " + Column(m.database, dbWidth) + "  " +
               Column(NoteIdText(m.noteId), 10) + "  " + UnidText(m.unid) +
               "  " + UtcText(m.created) + "  " +
               Column(Printable(m.from), fromWidth) + "  " +
               Column(Printable(m.sendTo), toWidth) + "  " +
               Printable(m.subject) + "\n");
  }
  Emit(out);
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
    AddPerimeterOption(*list_);
    list_->add_option("--from", from_, "From contains this (any case)");
    list_->add_option("--subject", subject_,
                      "Subject contains this (any case)");
    list_->add_option("--since", since_,
                      "written at or after (UTC date[ time])");
    list_->add_option("--before", before_, "written before (UTC date[ time])");
    list_->add_option("--limit", limit_, "at most this many")
        ->check(CLI::PositiveNumber);
    list_->add_flag("--json", json_, "print JSON");

    show_ = sub.add_subcommand("show", "Show every item of one message");
    show_->add_option("ID", ids_, "its universal ID")->required()->expected(1);
    show_->add_flag("--json", json_, "print JSON");

    release_ = sub.add_subcommand(
        "release", "Release messages to a mail box as ordinary mail");
    release_->add_option("ID", ids_, "universal IDs")->required();
    release_->add_option("--to", to_,
                         "the mail box (default: the router's first)");

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

  void AddPerimeterOption(CLI::App& sub) {
    sub.add_option("--perimeter", perimeter_, "B, C or D")
        ->check(CLI::IsMember({"B", "C", "D"}, CLI::ignore_case));
  }

  Outcome CheckArguments() override {
    if (!since_.empty() && !ParseUtc(since_, &sinceCentis_)) {
      return Outcome::Failure("--since: not a date (YYYY-MM-DD[ HH:MM[:SS]])");
    }
    if (!before_.empty() && !ParseUtc(before_, &beforeCentis_)) {
      return Outcome::Failure("--before: not a date (YYYY-MM-DD[ HH:MM[:SS]])");
    }
    return Outcome();
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
    QuarantineQuery query;
    query.from = from_;
    query.subject = subject_;
    if (!since_.empty()) query.since = sinceCentis_;
    if (!before_.empty()) query.before = beforeCentis_;
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
    std::string out =
        "Perimeter:    " + std::string(1, note.hit.file.perimeter) +
        "\nDatabase:     " + note.hit.file.path +
        "\nNote ID:      " + NoteIdText(note.hit.noteId) +
        "\nUniversal ID: " + UnidText(note.unid) +
        "\nDate:         " + UtcText(note.created) + " UTC\n";
    for (const NoteItem& item : note.items) {
      out.append(Printable(item.name) + " = ");
      std::string value = DisplayValue(item);
      while (!value.empty() && value.back() == '\n') value.pop_back();
      // Multi-line values (a body) stay readable and cannot fake an item.
      for (char& c : value) {
        if (c == '\n') continue;
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
      }
      std::string indented;
      for (const char c : value) {
        indented.push_back(c);
        if (c == '\n') indented.append("    ");
      }
      out.append(indented + "\n");
    }
    Emit(out);
    return Outcome();
  }

  Outcome Release(LocalNotesServices& server, const RouterSettings& settings,
                  const std::vector<QuarantineFile>& files) {
    MailBoxes mailBoxes;
    Outcome outcome = mailBoxes.Open(server, settings);
    if (!outcome.ok()) return outcome;
    int target = 0;
    if (!to_.empty()) {
      target = mailBoxes.Find(to_);
      if (target < 0) {
        std::string names;
        for (const std::string& name : settings.mailBoxes) {
          names.append(names.empty() ? "" : ", ").append(name);
        }
        return Outcome::Failure("--to " + to_ +
                                " is none of the router's mail boxes (" +
                                names + ")");
      }
    }
    int failed = 0;
    Outcome first;
    for (const std::string& id : ids_) {
      Released released;
      outcome = ReleaseMessage(server, files, mailBoxes,
                               static_cast<size_t>(target), id, &released);
      if (outcome.ok()) {
        std::printf("%s: released from %s to %s\n", id.c_str(),
                    released.from.c_str(), released.to.c_str());
      } else {
        // Each ID's failure on its own line; the others still go.
        std::fflush(stdout);
        ReportFailure(outcome);
        ++failed;
      }
    }
    std::fflush(stdout);
    if (failed == 0) return Outcome();
    return Outcome::Failure(std::to_string(failed) + " of " +
                            std::to_string(ids_.size()) +
                            " messages not released");
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
  std::string to_;
  unsigned days_ = 0;
  bool dryRun_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeQuarantineCommand() {
  return std::make_unique<QuarantineCommand>();
}

}  // namespace vt::tool

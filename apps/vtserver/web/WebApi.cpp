// The web console's data. Each reading takes the reader's lock for its
// whole run, short as it is: the overview of 100,000 quarantined messages
// is one summary scan per database.
#include "web/WebApi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "base/UniqueFd.h"
#include "datadir/DataDir.h"
#include "datadir/ItemText.h"
#include "datadir/RouterSettings.h"
#include "quarantine/Learning.h"
#include "quarantine/QuarantineJson.h"
#include "quarantine/QuarantineLock.h"
#include "quarantine/QuarantinePurge.h"
#include "quarantine/QuarantineRelease.h"
#include "stats/Stats.h"
#include "stats/StatsFormats.h"
#include "web/FlowHistory.h"

namespace vt::tool {
namespace {

constexpr int kMaxFlowHours = 24;
// What one reading of the log returns at most, so that a reader far behind
// catches up in steps rather than in one huge answer.
constexpr uint64_t kMaxLogRead = 1 << 20;
// Where the last lines of a log are looked for.
constexpr uint64_t kLogTailBytes = 256 * 1024;

std::string FileIdentity(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Reads [offset, offset + length) of fd; shorter at the end of the file.
std::string ReadAt(int fd, uint64_t offset, uint64_t length) {
  std::string bytes(length, '\0');
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, bytes.data() + done, length - done,
                              static_cast<off_t>(offset + done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

Json FlowJson(const FlowHistory& flow) {
  Json series = Json::object();
  for (size_t i = 0; i < FlowHistory::kRoutes; ++i) {
    const auto route = static_cast<FlowHistory::Route>(i);
    Json counts = Json::array();
    for (const auto& minute : flow.counts) counts.push_back(minute[route]);
    series[std::string(FlowRouteName(route))] = std::move(counts);
  }
  return Json{{"start", IsoUtcText(flow.start * 100)},
              {"minutes", flow.minutes},
              {"logFound", flow.logFound},
              {"series", std::move(series)}};
}

}  // namespace

Json WebApi::Overview(int hours) {
  hours = std::clamp(hours, 1, kMaxFlowHours);
  std::lock_guard<std::mutex> lock(readerMutex_);
  const Stats stats = GatherStats(reader_);
  const FlowHistory flow =
      ReadFlowHistory(reader_.LogFile(), stats.now / 100, hours * 60);
  return Json{{"stats", StatsJson(stats)}, {"flow", FlowJson(flow)}};
}

Json WebApi::StatsOnly() {
  std::lock_guard<std::mutex> lock(readerMutex_);
  return StatsJson(GatherStats(reader_));
}

std::string WebApi::Metrics() {
  std::lock_guard<std::mutex> lock(readerMutex_);
  return PrometheusText(GatherStats(reader_));
}

bool WebApi::EndRequested() {
  std::lock_guard<std::mutex> lock(readerMutex_);
  return reader_.ShouldTerminate();
}

Json WebApi::Log(const LogPosition* from) {
  const std::filesystem::path file = reader_.LogFile();
  Json out{{"file", nullptr},
           {"offset", 0},
           {"reset", true},
           {"lines", Json::array()}};
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return out;
  const std::string identity = FileIdentity(st);
  const auto size = static_cast<uint64_t>(st.st_size);
  uint64_t begin = 0;
  bool reset = true;
  if (from != nullptr && from->file == identity && from->offset <= size) {
    begin = from->offset;
    reset = false;
  } else {
    begin = size > kLogTailBytes ? size - kLogTailBytes : 0;
  }
  const std::string bytes =
      ReadAt(fd.get(), begin, std::min(size - begin, kMaxLogRead));
  // Complete lines only: a line being written comes with the next reading.
  const size_t end = bytes.rfind('\n');
  std::vector<std::string> lines;
  size_t start = 0;
  if (reset && begin > 0) {
    // The tail starts inside a line: drop it.
    const size_t first = bytes.find('\n');
    start = first == std::string::npos ? bytes.size() : first + 1;
  }
  if (end != std::string::npos) {
    while (start <= end) {
      const size_t next = bytes.find('\n', start);
      lines.push_back(bytes.substr(start, next - start));
      start = next + 1;
    }
  }
  if (reset && lines.size() > kLogTailLines) {
    lines.erase(lines.begin(), lines.end() - kLogTailLines);
  }
  Json list = Json::array();
  for (const std::string& line : lines) list.push_back(JsonText(line));
  out["file"] = identity;
  out["offset"] = begin + (end == std::string::npos ? 0 : end + 1);
  out["reset"] = reset;
  out["lines"] = std::move(list);
  return out;
}

Outcome WebApi::Quarantine(char perimeter, const QuarantineQuery& query,
                           Json* out) {
  std::lock_guard<std::mutex> lock(readerMutex_);
  RouterSettings settings;
  Outcome outcome = ReadRouterSettings(reader_, &settings);
  if (!outcome.ok()) return outcome;
  QuarantinePage page;
  outcome = ListQuarantined(
      reader_, QuarantineFiles(reader_, settings, perimeter), query, &page);
  if (!outcome.ok()) return outcome;
  Json messages = Json::array();
  for (const QuarantinedMessage& m : page.messages) {
    messages.push_back(QuarantinedMessageJson(m));
  }
  Json mailBoxes = Json::array();
  for (const std::string& name : settings.mailBoxes) {
    mailBoxes.push_back(JsonText(name));
  }
  *out = Json{{"total", page.total},
              {"offset", query.offset},
              {"limit", query.limit},
              {"mailBoxes", std::move(mailBoxes)},
              {"messages", std::move(messages)}};
  return Outcome();
}

Outcome WebApi::Message(const std::string& id, Json* out) {
  std::lock_guard<std::mutex> lock(readerMutex_);
  RouterSettings settings;
  Outcome outcome = ReadRouterSettings(reader_, &settings);
  if (!outcome.ok()) return outcome;
  QuarantinedNote note;
  outcome = ReadQuarantinedNote(reader_, QuarantineFiles(reader_, settings, 0),
                                id, &note);
  if (!outcome.ok()) return outcome;
  *out = QuarantinedNoteJson(note);
  return Outcome();
}

Outcome WebApi::RunChange(const Change& change) {
  std::unique_ptr<LocalNotesServices> writer;
  Outcome outcome = OpenDataDirectory(dir_, &writer, DataDirOptions());
  if (!outcome.ok()) return outcome;
  RouterSettings settings;
  outcome = ReadRouterSettings(*writer, &settings);
  if (!outcome.ok()) return outcome;
  QuarantineLock lock;
  if (!lock.Acquire()) return QuarantineLock::BusyFailure();
  return change(*writer, settings);
}

Outcome WebApi::Release(const ChangeSelection& selection, const std::string& to,
                        bool learn, Json* out) {
  return RunChange([&](LocalNotesServices& writer,
                       const RouterSettings& settings) {
    std::unique_ptr<scanner::EngineSet> engines;
    Outcome outcome;
    if (learn) outcome = LearningEngines(writer, &engines);
    if (!outcome.ok()) return outcome;
    MailBoxes mailBoxes;
    outcome = mailBoxes.Open(writer, settings);
    if (!outcome.ok()) return outcome;
    const int target = to.empty() ? 0 : mailBoxes.Find(to);
    if (target < 0) {
      return Outcome::Failure(to + " is none of the router's mail boxes",
                              Outcome::Kind::kBadRequest);
    }
    std::vector<std::string> ids = selection.ids;
    if (selection.matching) {
      // Found under the lock that the release holds, so that the set
      // released is the set that matched.
      outcome = MatchingIds(
          writer, QuarantineFiles(writer, settings, selection.perimeter),
          selection.query, &ids);
      if (!outcome.ok()) return outcome;
    }
    Json results = Json::array();
    ReleaseEach(
        writer, QuarantineFiles(writer, settings, 0), mailBoxes,
        static_cast<size_t>(target), ids, engines.get(),
        [&](const ReleaseResult& r) {
          if (!r.outcome.ok()) {
            results.push_back(Json{{"id", JsonText(r.id)},
                                   {"ok", false},
                                   {"error", JsonText(r.outcome.message())}});
            return;
          }
          Json result{{"id", JsonText(r.id)},
                      {"ok", true},
                      {"from", JsonText(r.released.from)},
                      {"to", JsonText(r.released.to)}};
          if (r.learning) {
            Json failures = Json::array();
            for (const std::string& failure : r.learning->failures) {
              failures.push_back(JsonText(failure));
            }
            result["learnt"] = JsonText(r.learning->Summary(false));
            result["learnFailures"] = std::move(failures);
          }
          results.push_back(std::move(result));
        });
    *out = Json{{"results", std::move(results)}};
    return Outcome();
  });
}

Outcome WebApi::Delete(const ChangeSelection& selection, Json* out) {
  Json results = Json::array();
  std::set<UniversalId> wanted;
  std::vector<std::pair<std::string, UniversalId>> valid;
  for (const std::string& id : selection.ids) {
    UniversalId unid{};
    if (ParseUnid(id, &unid)) {
      wanted.insert(unid);
      valid.emplace_back(id, unid);
    } else {
      results.push_back(Json{{"id", JsonText(id)},
                             {"ok", false},
                             {"error", JsonText(id + ": not a universal ID (32 "
                                                     "hexadecimal digits)")}});
    }
  }
  std::map<UniversalId, std::string> deletedFrom;
  Outcome purged;
  const Outcome outcome = RunChange(
      [&](LocalNotesServices& writer, const RouterSettings& settings) {
        std::vector<PurgeResult> perDatabase;
        purged = Purge(
            writer, writer,
            QuarantineFiles(writer, settings,
                            selection.matching ? selection.perimeter : 0),
            [&](const QuarantinedMessage& m) {
              if (selection.matching) {
                if (!Matches(selection.query, m)) return false;
                valid.emplace_back(UnidText(m.unid), m.unid);
              } else if (wanted.count(m.unid) == 0) {
                return false;
              }
              deletedFrom[m.unid] = m.database;
              return true;
            },
            false, &perDatabase);
        return Outcome();
      });
  if (!outcome.ok()) return outcome;
  // A failure part way keeps the batches already deleted (each is one
  // durable transaction); every message picked is then reported with the
  // failure, and deleting it again tells which are gone.
  for (const auto& [id, unid] : valid) {
    const auto found = deletedFrom.find(unid);
    if (found == deletedFrom.end()) {
      results.push_back(Json{
          {"id", JsonText(id)},
          {"ok", false},
          {"error", JsonText(id + ": no quarantined message has this ID")}});
    } else if (purged.ok()) {
      results.push_back(Json{{"id", JsonText(id)},
                             {"ok", true},
                             {"database", JsonText(found->second)}});
    } else {
      results.push_back(Json{{"id", JsonText(id)},
                             {"ok", false},
                             {"error", JsonText(purged.message())}});
    }
  }
  *out = Json{{"results", std::move(results)}};
  return Outcome();
}

}  // namespace vt::tool

// The fault sweep: whole processing passes over a world of messages in every
// state, with three mail boxes and varied draws among them, failing call 1,
// then 2, 3 ... of each operation that selects, moves or changes a message
// (once, from then on, or carried out and then reported as failed), until a
// pass makes fewer calls than the fault waits for. After every faulty pass
// each message must be in exactly one database, never in none, never in two;
// after the faults are cleared and the passes have settled, each must be
// where its verdict sends it, and the day's totals must count each delivered
// message once. This finds the failure paths nobody thought of.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::Census;
using testing::DepositMessage;
using testing::EngineRig;
using testing::Items;
using testing::kMailBox;
using testing::kQuarantineB;
using testing::kQuarantineC;
using testing::kQuarantineD;
using testing::kScanBox1;
using testing::kScanBox2;
using testing::MessageCopy;
using Mode = testing::FaultyNotes::Mode;

constexpr int64_t kMinute = 60 * 100;  // in centiseconds
constexpr int kMaxCallNumber = 120;    // far above any pass's calls
constexpr int kMaxSettlingPasses = 8;

constexpr char kMailBox2[] = "mail2.box";
constexpr char kMailBox3[] = "mail3.box";
const std::vector<std::string> kMailBoxes = {kMailBox, kMailBox2, kMailBox3};
const std::vector<std::string> kDatabases = {
    kMailBox,  kMailBox2,    kMailBox3,    kScanBox1,
    kScanBox2, kQuarantineB, kQuarantineC, kQuarantineD};
const std::vector<std::string> kItems = {"VeltraneVerified", "Kesto_Router",
                                         "RoutingState", "VTRouterReleased"};

// One message of the world: where it starts, what it carries, the verdict the
// scanner gives it once it reaches a scan box unverified ("" = none: it is
// not the router's to take, or it waits for release), and where it must end
// ("" = nowhere: a mail rule refuses it; kMailBox for delivered mail = any of
// the mail boxes, as the draw decides) with which route and routing state.
struct Message {
  std::string id;
  const char* start;
  Items extra;
  int ageMinutes;
  std::string verdict;
  std::string end;
  std::string route;
  std::string routingState;
};

Items Verified(const char* route, Items extra = {}) {
  extra.insert_or_assign("VeltraneVerified", "1");
  extra.insert_or_assign("Kesto_Router", route);
  return extra;
}

// The same world in both interception modes: new mail is flagged for
// processing, or (alternate) held by the mail server; in each mode one
// message of the other kind is not the router's to take.
std::vector<Message> MakeWorld(bool alternate) {
  const Items held = {{"RoutingState", "HOLD"}, {"VeltraneProcess", ""}};
  const Items fresh = alternate ? held : Items{};
  const Items notOurs = alternate ? Items{} : held;
  const std::string freshState = alternate ? "HOLD" : "";
  return {
      // New mail in the two mail boxes.
      {"p1", kMailBox, fresh, 0, "M", kMailBox, "M", ""},
      {"p2", kMailBox, fresh, 0, "B", kQuarantineB, "B", freshState},
      {"p3", kMailBox, fresh, 0, "C", kQuarantineC, "C", freshState},
      {"p4", kMailBox, fresh, 0, "D", kQuarantineD, "D", freshState},
      {"q2", kMailBox2, fresh, 0, "C", kQuarantineC, "C", freshState},
      {"r3", kMailBox3, fresh, 0, "M", kMailBox, "M", ""},
      {"dead",
       kMailBox,
       {{"RoutingState", "DEAD"}, {"DeadFailureReason", "No route"}},
       0,
       "M",
       kMailBox,
       "M",
       "DEAD"},
      {"notOurs", kMailBox, notOurs, 0, "", kMailBox, "",
       alternate ? "" : "HOLD"},
      // Back from scanning and still held by the mail server.
      {"heldV", kMailBox, Verified("M", {{"RoutingState", "HOLD"}}), 0, "",
       kMailBox, "M", ""},
      // Verified in the scan boxes, waiting for delivery.
      {"s1M", kScanBox1, Verified("M"), 0, "", kMailBox, "M", ""},
      {"s1B", kScanBox1, Verified("B"), 0, "", kQuarantineB, "B", ""},
      {"s1C", kScanBox1, Verified("C"), 0, "", kQuarantineC, "C", ""},
      {"s1D", kScanBox1, Verified("D"), 0, "", kQuarantineD, "D", ""},
      {"s1H", kScanBox1, Verified("M", {{"RoutingState", "HOLD"}}), 0, "",
       kMailBox, "M", ""},
      {"s2M", kScanBox2, Verified("M"), 0, "", kMailBox, "M", ""},
      {"s2B", kScanBox2, Verified("B"), 0, "", kQuarantineB, "B", ""},
      {"s2D", kScanBox2, Verified("D"), 0, "", kQuarantineD, "D", ""},
      // Refused by the mail rule on its way back to a mail box.
      {"refused", kScanBox1, Verified("M", {{"Subject", "blocked"}}), 0, "", "",
       "", ""},
      // Waiting for a verdict longer than the release time.
      {"stale", kScanBox2, {}, 11, "", kMailBox, "M", ""},
  };
}

// Whether the message goes through delivery, and so counts in the day's
// totals (when it is not refused).
bool Delivered(const Message& m) {
  const std::string start = m.start;
  return !m.end.empty() &&
         (!m.verdict.empty() || start == kScanBox1 || start == kScanBox2);
}

struct Fault {
  NotesOp op;
  Mode mode;
  bool alternate;  // interception of held mail
};

const char* ModeText(Mode mode) {
  switch (mode) {
    case Mode::kOnce:
      return "once";
    case Mode::kFromThen:
      return "from then on";
    case Mode::kAfterward:
      return "done, then reported as failed";
  }
  return "";
}

void PrintTo(const Fault& f, std::ostream* out) {
  *out << NotesOpName(f.op) << ", " << ModeText(f.mode)
       << (f.alternate ? ", held mail intercepted" : "");
}

std::string Describe(const Fault& f, int n) {
  std::ostringstream out;
  out << NotesOpName(f.op) << " call " << n << " (" << ModeText(f.mode) << ")"
      << (f.alternate ? ", held mail intercepted" : "");
  return out.str();
}

// Messages not in exactly one database; with deletionMayLag, a message in two
// databases (its copy made, its deletion failed) is allowed for now, and
// the refused message may be gone or still in its scan box.
std::string Misplaced(const std::vector<Message>& world, const Census& census,
                      bool deletionMayLag) {
  std::ostringstream out;
  for (const Message& m : world) {
    auto it = census.find(m.id);
    const size_t copies = it == census.end() ? 0 : it->second.size();
    bool ok = copies == 1;
    if (m.end.empty()) ok = copies <= 1;
    if (deletionMayLag && copies == 2) ok = true;
    if (ok) continue;
    out << "  " << m.id << " in " << copies << " databases:";
    if (it != census.end()) {
      for (const std::string& db : it->second) out << " " << db;
    }
    out << "\n";
  }
  return out.str();
}

// Where every message is and what it carries, as one comparable text.
std::string Fingerprint(const std::vector<MessageCopy>& survey) {
  std::vector<std::string> lines;
  for (const MessageCopy& copy : survey) {
    std::string line = copy.id + "@" + copy.db;
    for (const auto& [item, value] : copy.items)
      line += " " + item + "=" + value;
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// Lets the scanner give its verdict to every unverified message it holds;
// the number of verdicts given.
int ScanWhatWaits(EngineRig& rig, const std::vector<Message>& world,
                  const std::vector<MessageCopy>& survey) {
  std::map<std::string, std::string> verdicts;
  for (const Message& m : world) verdicts[m.id] = m.verdict;
  int given = 0;
  for (const MessageCopy& copy : survey) {
    if (copy.db != kScanBox1 && copy.db != kScanBox2) continue;
    if (copy.items.at("VeltraneVerified") == "1") continue;
    const std::string& verdict = verdicts[copy.id];
    if (verdict.empty()) continue;
    EXPECT_TRUE(testing::GiveVerdict(rig.server(), copy.db, copy.id, verdict));
    ++given;
  }
  return given;
}

// Where every message must be once the passes have settled.
void ExpectEveryMessageWhereItsVerdictSendsIt(
    const std::vector<Message>& world, const std::vector<MessageCopy>& survey,
    const std::string& context) {
  std::map<std::string, std::vector<const MessageCopy*>> byId;
  for (const MessageCopy& copy : survey) byId[copy.id].push_back(&copy);
  for (const Message& m : world) {
    const auto& copies = byId[m.id];
    if (m.end.empty()) {
      EXPECT_TRUE(copies.empty()) << context << ": " << m.id << " survived";
      continue;
    }
    ASSERT_EQ(copies.size(), 1u) << context << ": " << m.id;
    const MessageCopy& c = *copies[0];
    if (Delivered(m) && m.end == kMailBox) {
      EXPECT_NE(std::find(kMailBoxes.begin(), kMailBoxes.end(), c.db),
                kMailBoxes.end())
          << context << ": " << m.id << " in " << c.db;
    } else {
      EXPECT_EQ(c.db, m.end) << context << ": " << m.id;
    }
    EXPECT_EQ(c.items.at("Kesto_Router"), m.route) << context << ": " << m.id;
    EXPECT_EQ(c.items.at("VeltraneVerified"), m.route.empty() ? "" : "1")
        << context << ": " << m.id;
    EXPECT_EQ(c.items.at("RoutingState"), m.routingState)
        << context << ": " << m.id;
    EXPECT_EQ(c.items.at("VTRouterReleased"), m.id == "stale" ? "1" : "")
        << context << ": " << m.id;
  }
}

class FaultSweepTest : public ::testing::TestWithParam<Fault> {
 protected:
  // One world, one faulty pass, the checks; the number of faults injected.
  int RunOnce(const Fault& fault, int n) {
    const std::string context = Describe(fault, n);
    const std::vector<Message> world = MakeWorld(fault.alternate);
    EngineRig rig({{"ReleaseMailMinutes", 10},
                   {"AlternateInterceptor", fault.alternate ? 1 : 0},
                   {"MailboxNsf", kMailBoxes}},
                  "[MailRules]\nNoSpam=SELECT Subject = \"blocked\"\n");
    testing::CreateDatabaseAt(rig.server(), kMailBox2);
    testing::CreateDatabaseAt(rig.server(), kMailBox3);
    if (rig.Start() != 0) {
      ADD_FAILURE() << context << ": the engine did not start";
      return 0;
    }
    rig.engine.releaseEnabled = 1;
    const int64_t now = rig.world.clock().NowUnixCentis();
    for (const Message& m : world) {
      DepositMessage(rig.server(), m.start, m.id, m.extra,
                     m.ageMinutes == 0 ? 0 : now - m.ageMinutes * kMinute);
    }

    rig.notes.FailCall(fault.op, n, err::kDiskError, fault.mode);
    rig.Pass();
    const int injected = rig.notes.Injected();
    rig.notes.ClearFaults();
    EXPECT_EQ(rig.notes.openNotes(), 0) << context << ": a note left open";

    // A failed deletion, or a copy made but reported as failed, leaves the
    // message in its source and in its destination until the next pass's
    // copy replaces the destination's (same universal ID, same database) and
    // deletes the source; so for those "exactly one" holds one clean pass
    // later. Every other fault must leave every message in exactly one place
    // at once.
    const bool deletion =
        fault.op == NotesOp::kDeleteNote || fault.mode == Mode::kAfterward;
    std::vector<MessageCopy> survey =
        testing::Survey(rig.server(), kDatabases, kItems);
    std::string misplaced =
        Misplaced(world, testing::CensusOf(survey), deletion);
    EXPECT_EQ(misplaced, "") << context << ", after the faulty pass:\n"
                             << misplaced;
    if (deletion) {
      rig.Pass();
      survey = testing::Survey(rig.server(), kDatabases, kItems);
      misplaced = Misplaced(world, testing::CensusOf(survey), false);
      EXPECT_EQ(misplaced, "") << context << ", one clean pass later:\n"
                               << misplaced;
    }

    // Settle: the scanner decides on what waits, passes run, until a pass
    // changes nothing.
    int passes = 0;
    for (;; ++passes) {
      if (passes == kMaxSettlingPasses) {
        ADD_FAILURE() << context << ": no rest after " << passes << " passes";
        break;
      }
      const int verdicts = ScanWhatWaits(rig, world, survey);
      if (verdicts > 0) {
        survey = testing::Survey(rig.server(), kDatabases, kItems);
      }
      const std::string before = Fingerprint(survey);
      rig.Pass();
      survey = testing::Survey(rig.server(), kDatabases, kItems);
      const std::string between =
          Misplaced(world, testing::CensusOf(survey), false);
      EXPECT_EQ(between, "")
          << context << ", settling pass " << passes + 1 << ":\n"
          << between;
      if (verdicts == 0 && Fingerprint(survey) == before) break;
    }
    ExpectEveryMessageWhereItsVerdictSendsIt(world, survey, context);
    MessageCounts expected;
    for (const Message& m : world) {
      if (!Delivered(m)) continue;
      int32_t& counter = m.route == "B"   ? expected.SpamB
                         : m.route == "C" ? expected.SpamC
                         : m.route == "D" ? expected.SpamD
                                          : expected.Mail;
      ++counter;
    }
    EXPECT_EQ(rig.totals.Mail, expected.Mail) << context;
    EXPECT_EQ(rig.totals.SpamB, expected.SpamB) << context;
    EXPECT_EQ(rig.totals.SpamC, expected.SpamC) << context;
    EXPECT_EQ(rig.totals.SpamD, expected.SpamD) << context;

    ShutdownEngine(rig.engine);
    EXPECT_EQ(rig.notes.openDatabases(), 0) << context;
    EXPECT_EQ(rig.notes.openNotes(), 0) << context;
    EXPECT_EQ(rig.notes.idTables(), 0) << context;
    EXPECT_EQ(rig.notes.memoryBlocks(), 0) << context;
    ++runs_;
    return injected;
  }

  int runs_ = 0;
};

TEST_P(FaultSweepTest, EveryMessageStaysInExactlyOnePlace) {
  const Fault fault = GetParam();
  const auto started = std::chrono::steady_clock::now();
  int n = 1;
  for (; n <= kMaxCallNumber; ++n) {
    const int injected = RunOnce(fault, n);
    if (::testing::Test::HasFailure()) break;
    if (injected == 0) break;
  }
  EXPECT_LT(n, kMaxCallNumber) << "the sweep did not reach its end";
  EXPECT_GT(n, 1) << "no call of " << NotesOpName(fault.op) << " in a pass";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  RecordProperty("runs", runs_);
  RecordProperty("milliseconds", static_cast<int>(ms));
  std::ostringstream what;
  PrintTo(fault, &what);
  std::printf(
      "%s: calls 1 to %d failed in turn, %d runs, %d messages, %lld ms\n",
      what.str().c_str(), n - 1, runs_,
      static_cast<int>(MakeWorld(fault.alternate).size()),
      static_cast<long long>(ms));
}

std::string FaultName(const ::testing::TestParamInfo<Fault>& info) {
  const Mode mode = info.param.mode;
  return std::string(NotesOpName(info.param.op)) +
         (mode == Mode::kOnce       ? "Once"
          : mode == Mode::kFromThen ? "FromThenOn"
                                    : "Afterward") +
         (info.param.alternate ? "HeldMail" : "");
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const bool alternate : {false, true}) {
    // The operations that move or change a message, then those of the
    // working table and of the items that hold removal and release change.
    for (const NotesOp op :
         {NotesOp::kCopyNote, NotesOp::kDeleteNote, NotesOp::kSearchDatabase,
          NotesOp::kUpdateNote, NotesOp::kOpenNoteExtended,
          NotesOp::kClearIdTable, NotesOp::kInsertId, NotesOp::kDeleteItem,
          NotesOp::kSetTextItem, NotesOp::kGetNoteOriginatorId,
          NotesOp::kGetNoteInfoByUnid, NotesOp::kGetDatabaseId}) {
      for (const Mode mode : {Mode::kOnce, Mode::kFromThen}) {
        faults.push_back(Fault{op, mode, alternate});
      }
    }
    // Carried out, then reported as failed: a copy or deletion that
    // reached the disk, a note saved.
    for (const NotesOp op :
         {NotesOp::kCopyNote, NotesOp::kDeleteNote, NotesOp::kUpdateNote}) {
      faults.push_back(Fault{op, Mode::kAfterward, alternate});
    }
  }
  return faults;
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweepTest,
                         ::testing::ValuesIn(AllFaults()), FaultName);

}  // namespace
}  // namespace vt

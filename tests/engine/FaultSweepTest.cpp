// The fault sweep: whole processing passes over a world of messages in every
// state, with three mail boxes and varied draws among them, failing call 1,
// then 2, 3 ... of each operation that selects, moves or changes a message
// (once, from then on, or carried out and then reported as failed), until a
// pass makes fewer calls than the fault waits for. After every faulty pass
// each message must be in exactly one database, never in none, never in two;
// after the faults are cleared and the passes have settled, each must be
// where its verdict sends it, and the day's totals must count each delivered
// message once. An administrator's release from the quarantine is swept the
// same way, with the router's pass beside it. This finds the failure paths
// nobody thought of.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/RouterEngine.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"
#include "support/StoreKinds.h"
#include "support/SweepWorld.h"

namespace vt {
namespace {

using testing::DepositMessage;
using testing::EngineRig;
using testing::kMailBox2;
using testing::kMailBox3;
using testing::kSweepIni;
using testing::MakeSweepWorld;
using testing::MessageCopy;
using testing::SweepConfig;
using testing::SweepDatabases;
using testing::SweepItems;
using testing::SweepMessage;
using Mode = testing::FaultyNotes::Mode;

constexpr int64_t kMinute = 60 * 100;  // in centiseconds
constexpr int kMaxCallNumber = 120;    // far above any pass's calls
constexpr int kMaxSettlingPasses = 8;

// What else happens around the faulty pass.
enum class Twist {
  kNone,
  // No failure: another writer changes the note of call n of the operation
  // (a move's copy or deletion) just before it: a message in a mail box
  // whose verdict is "M" gets it there, any other note an item of no
  // consequence. The search has already chosen it.
  kChange,
  // After the faulty pass an administrator releases what sits in
  // quarantine C, and the next pass starts with a roll-over of every
  // quarantine.
  kReleaseAndRollOver,
  // The fault is not the pass's: after a clean pass an administrator
  // releases what sits in quarantine C through the failing calls, a pass
  // runs beside, and the administrator releases what is left again.
  kFaultyRelease,
};

struct Fault {
  NotesOp op;
  Mode mode;
  bool alternate;  // interception of held mail
  Twist twist = Twist::kNone;
  // Every database of the server in PostgreSQL (server.ini's Databases=)
  // rather than in files.
  bool postgres = false;
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

const char* TwistText(Twist twist) {
  switch (twist) {
    case Twist::kNone:
      return "";
    case Twist::kChange:
      return ", changed by another writer just before";
    case Twist::kReleaseAndRollOver:
      return ", then a release and a roll-over";
    case Twist::kFaultyRelease:
      return ", in an administrator's release";
  }
  return "";
}

const char* FaultText(const Fault& f) {
  return f.twist == Twist::kChange ? "no failure" : ModeText(f.mode);
}

void PrintTo(const Fault& f, std::ostream* out) {
  *out << NotesOpName(f.op) << ", " << FaultText(f)
       << (f.alternate ? ", held mail intercepted" : "") << TwistText(f.twist)
       << (f.postgres ? ", on PostgreSQL" : "");
}

std::string Describe(const Fault& f, int n) {
  std::ostringstream out;
  out << NotesOpName(f.op) << " call " << n << " (" << FaultText(f) << ")"
      << (f.alternate ? ", held mail intercepted" : "") << TwistText(f.twist)
      << (f.postgres ? ", on PostgreSQL" : "");
  return out.str();
}

// Another writer's change to a note the router is about to copy or delete;
// raced collects the messages it verified in a mail box.
void ChangeNote(LocalNotesServices& server,
                const std::vector<SweepMessage>& world, DbHandle db,
                uint32_t noteId, std::set<std::string>* raced) {
  NoteHandle note;
  if (!server.OpenNote(db, noteId, 0, &note).ok()) return;
  char text[256];
  const std::string id(text,
                       server.GetTextItem(note, testing::kMessageIdItem, text));
  const bool verified =
      std::string(text, server.GetTextItem(note, "VeltraneVerified", text)) ==
      "1";
  const auto m =
      std::find_if(world.begin(), world.end(),
                   [&](const SweepMessage& w) { return w.id == id; });
  const std::vector<std::string>& boxes = testing::SweepMailBoxes();
  const bool verdictInMailBox =
      m != world.end() && !verified && m->verdict == "M" &&
      std::find(boxes.begin(), boxes.end(), m->start) != boxes.end();
  if (verdictInMailBox) {
    EXPECT_TRUE(server.SetTextItem(note, "VeltraneVerified", "1", 1).ok());
    EXPECT_TRUE(server.SetTextItem(note, "Kesto_Router", "M", 1).ok());
    raced->insert(id);
  } else {
    EXPECT_TRUE(server.SetTextItem(note, "Touched", "1", 1).ok());
  }
  EXPECT_TRUE(server.UpdateNote(note, 0).ok());
  server.CloseNote(note).IgnoreError();
}

// Releases whatever sits in quarantine C now, through releaser; ends then
// expects those messages in a mail box. Each release must succeed unless
// failuresExpected.
void ReleaseQuarantinedC(LocalNotesServices& server, NotesServices& releaser,
                         std::vector<SweepMessage>* ends,
                         const std::string& context,
                         bool failuresExpected = false) {
  const std::vector<MessageCopy> survey =
      testing::Survey(server, {testing::kQuarantineC}, {});
  for (const MessageCopy& copy : survey) {
    const std::string failure =
        testing::ReleaseFromQuarantine(server, releaser, 'C', copy.id);
    if (!failuresExpected) {
      EXPECT_EQ(failure, "") << context;
    }
    for (SweepMessage& m : *ends) {
      if (m.id != copy.id) continue;
      m.end = testing::kMailBox;
      m.route = "M";
      m.routingState = "";
    }
  }
}

// What delivery counts of the world's messages (of only those named in
// only, when given).
MessageCounts ExpectedTotals(const std::vector<SweepMessage>& world,
                             const std::set<std::string>* only = nullptr) {
  MessageCounts counts;
  for (const SweepMessage& m : world) {
    if (!Delivered(m)) continue;
    if (only != nullptr && only->count(m.id) == 0) continue;
    int32_t& counter = m.route == "B"   ? counts.SpamB
                       : m.route == "C" ? counts.SpamC
                       : m.route == "D" ? counts.SpamD
                                        : counts.Mail;
    ++counter;
  }
  return counts;
}

class FaultSweepTest : public ::testing::TestWithParam<Fault> {
 protected:
  // One world, one faulty pass, the checks; the number of faults injected.
  int RunOnce(const Fault& fault, int n) {
    const std::string context = Describe(fault, n);
    const std::vector<SweepMessage> world = MakeSweepWorld(fault.alternate);
    std::string ini = kSweepIni;
    if (fault.postgres) {
      // One PostgreSQL database for every run, its tables dropped first.
      if (pgDatabase_.empty()) {
        store_.Prepare(testing::StoreKind::kPostgres, pgDir_);
        pgDatabase_ = store_.database();
      }
      if (pgDatabase_.empty() ||
          !store_.postgres()->EmptyDatabase(pgDatabase_)) {
        ADD_FAILURE() << context << ": no PostgreSQL database";
        return 0;
      }
      ini = "Databases=" + store_.postgres()->Uri(pgDatabase_) + "\n" + ini;
    }
    EngineRig rig(SweepConfig(fault.alternate), ini);
    testing::CreateDatabaseAt(rig.server(), kMailBox2);
    testing::CreateDatabaseAt(rig.server(), kMailBox3);
    if (rig.Start() != 0) {
      ADD_FAILURE() << context << ": the engine did not start";
      return 0;
    }
    rig.engine.releaseEnabled = 1;
    const int64_t now = rig.world.clock().NowUnixCentis();
    for (const SweepMessage& m : world) {
      DepositMessage(rig.server(), m.start, m.id, m.extra,
                     m.ageMinutes == 0 ? 0 : now - m.ageMinutes * kMinute);
    }

    // The day's totals count what each message's road delivered, whatever
    // happens to it afterwards.
    const MessageCounts expected = ExpectedTotals(world);
    std::vector<SweepMessage> ends = world;
    std::set<std::string> raced;
    int changes = 0;
    if (fault.twist == Twist::kChange) {
      rig.notes.ChangeBefore(fault.op, n, [&](DbHandle db, uint32_t noteId) {
        ++changes;
        ChangeNote(rig.server(), world, db, noteId, &raced);
      });
    } else if (fault.twist != Twist::kFaultyRelease) {
      rig.notes.FailCall(fault.op, n, err::kDiskError, fault.mode);
    }
    rig.Pass();
    if (fault.twist == Twist::kFaultyRelease) {
      // A second clean pass puts the messages the scanner sends to C there
      // beside the one already verified.
      ScanWhatWaits(
          rig.server(), world,
          testing::Survey(rig.server(), SweepDatabases(), SweepItems()));
      rig.Pass();
      rig.notes.FailCall(fault.op, n, err::kDiskError, fault.mode);
      ReleaseQuarantinedC(rig.server(), rig.notes, &ends, context, true);
    }
    const int injected = rig.notes.Injected() + changes;
    rig.notes.ClearFaults();
    rig.notes.ChangeBefore(fault.op, 0, nullptr);
    EXPECT_EQ(rig.notes.openNotes(), 0) << context << ": a note left open";

    // A failed deletion, or a copy made but reported as failed, leaves the
    // message in its source and in its destination until the next pass's
    // copy replaces the destination's (same universal ID, same database) and
    // deletes the source; so for those "exactly one" holds one clean pass
    // later. Every other fault must leave every message in exactly one place
    // at once.
    const bool deletion = fault.op == NotesOp::kDeleteNoteVersion ||
                          fault.mode == Mode::kAfterward;
    std::vector<MessageCopy> survey =
        testing::Survey(rig.server(), SweepDatabases(), SweepItems());
    std::string misplaced =
        Misplaced(world, testing::CensusOf(survey), deletion);
    EXPECT_EQ(misplaced, "") << context << ", after the faulty pass:\n"
                             << misplaced;
    const bool rollOver = fault.twist == Twist::kReleaseAndRollOver;
    if (rollOver) {
      ReleaseQuarantinedC(rig.server(), rig.server(), &ends, context);
      for (const char* file :
           {"QuarantineB_1.nsf", "QuarantineC_1.nsf", "QuarantineD_1.nsf"}) {
        rig.notes.reportedSizes[file] = UINT32_MAX;
      }
    }
    const bool release = fault.twist == Twist::kFaultyRelease;
    if ((deletion || rollOver) && !release) {
      rig.Pass();
      rig.notes.reportedSizes.clear();
      survey = testing::Survey(rig.server(), SweepDatabases(), SweepItems());
      misplaced = Misplaced(world, testing::CensusOf(survey), false);
      EXPECT_EQ(misplaced, "") << context << ", one clean pass later:\n"
                               << misplaced;
      if (rollOver) {
        EXPECT_EQ(rig.engine.config->quarantinePathC,
                  "Veltrane\\QuarantineC_2.nsf")
            << context;
      }
    }
    // The administrator sees the failure and releases again: what the
    // failed release left in two places, or did not move, is finished
    // without a second copy.
    if (release) {
      rig.Pass();
      ReleaseQuarantinedC(rig.server(), rig.server(), &ends, context);
      survey = testing::Survey(rig.server(), SweepDatabases(), SweepItems());
      misplaced = Misplaced(world, testing::CensusOf(survey), false);
      EXPECT_EQ(misplaced, "") << context << ", released again:\n" << misplaced;
    }

    // Settle: the scanner decides on what waits, passes run, until a pass
    // changes nothing.
    int passes = 0;
    for (;; ++passes) {
      if (passes == kMaxSettlingPasses) {
        ADD_FAILURE() << context << ": no rest after " << passes << " passes";
        break;
      }
      const int verdicts = ScanWhatWaits(rig.server(), world, survey);
      if (verdicts > 0) {
        survey = testing::Survey(rig.server(), SweepDatabases(), SweepItems());
      }
      const std::string before = Fingerprint(survey);
      rig.Pass();
      survey = testing::Survey(rig.server(), SweepDatabases(), SweepItems());
      const std::string between =
          Misplaced(world, testing::CensusOf(survey), false);
      EXPECT_EQ(between, "")
          << context << ", settling pass " << passes + 1 << ":\n"
          << between;
      if (verdicts == 0 && Fingerprint(survey) == before) break;
    }
    ExpectEveryMessageWhereItsVerdictSendsIt(ends, survey, context);
    // A message verified where it was, in its mail box, never went through
    // delivery.
    const MessageCounts racedCounts = ExpectedTotals(world, &raced);
    EXPECT_EQ(rig.totals.Mail, expected.Mail - racedCounts.Mail) << context;
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
  TempDataDir pgDir_;
  testing::StoreUnderTest store_;
  std::string pgDatabase_;
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
      static_cast<int>(MakeSweepWorld(fault.alternate).size()),
      static_cast<long long>(ms));
}

std::string FaultName(const ::testing::TestParamInfo<Fault>& info) {
  const Mode mode = info.param.mode;
  const Twist twist = info.param.twist;
  return std::string(NotesOpName(info.param.op)) +
         (twist == Twist::kChange   ? "ChangedBefore"
          : mode == Mode::kOnce     ? "Once"
          : mode == Mode::kFromThen ? "FromThenOn"
                                    : "Afterward") +
         (twist == Twist::kReleaseAndRollOver ? "ThenReleaseAndRollOver" : "") +
         (twist == Twist::kFaultyRelease ? "InRelease" : "") +
         (info.param.alternate ? "HeldMail" : "") +
         (info.param.postgres ? "OnPostgres" : "");
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const bool alternate : {false, true}) {
    // The operations that move or change a message, then those of the
    // working table and of the items that hold removal and release change.
    for (const NotesOp op :
         {NotesOp::kCopySelectedNote, NotesOp::kDeleteNoteVersion,
          NotesOp::kSearchDatabase, NotesOp::kUpdateNote,
          NotesOp::kOpenNoteExtended, NotesOp::kEvaluateSelection,
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
         {NotesOp::kCopySelectedNote, NotesOp::kDeleteNoteVersion,
          NotesOp::kUpdateNote}) {
      faults.push_back(Fault{op, Mode::kAfterward, alternate});
    }
    // Another writer between a search and a copy, or a copy and its
    // deletion.
    for (const NotesOp op :
         {NotesOp::kCopySelectedNote, NotesOp::kDeleteNoteVersion}) {
      faults.push_back(Fault{op, Mode::kOnce, alternate, Twist::kChange});
    }
    // A move cut short, its message released from quarantine, and a
    // roll-over before the move is made again.
    for (const auto& [op, mode] :
         {std::pair{NotesOp::kDeleteNoteVersion, Mode::kOnce},
          std::pair{NotesOp::kDeleteNoteVersion, Mode::kAfterward},
          std::pair{NotesOp::kCopySelectedNote, Mode::kAfterward},
          std::pair{NotesOp::kGetNoteInfoByUnid, Mode::kFromThen}}) {
      faults.push_back(Fault{op, mode, alternate, Twist::kReleaseAndRollOver});
    }
  }
  // An administrator's release fails in each of its calls that can fail:
  // the same promise as the router's moves, with a pass running beside.
  for (const NotesOp op :
       {NotesOp::kOpenDatabase, NotesOp::kGetNoteInfoByUnid, NotesOp::kOpenNote,
        NotesOp::kSetTextItem, NotesOp::kUpdateNote, NotesOp::kCopySelectedNote,
        NotesOp::kDeleteNoteVersion, NotesOp::kGetNoteOriginatorId}) {
    for (const Mode mode : {Mode::kOnce, Mode::kFromThen}) {
      faults.push_back(Fault{op, mode, false, Twist::kFaultyRelease});
    }
  }
  for (const NotesOp op : {NotesOp::kCopySelectedNote,
                           NotesOp::kDeleteNoteVersion, NotesOp::kUpdateNote}) {
    faults.push_back(Fault{op, Mode::kAfterward, false, Twist::kFaultyRelease});
  }
  return faults;
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweepTest,
                         ::testing::ValuesIn(AllFaults()), FaultName);

// On PostgreSQL, the faults of the calls that move a message or decide
// where it goes: every database of the server lives there, so each move is
// one transaction.
std::vector<Fault> PostgresFaults() {
  std::vector<Fault> faults;
  for (const Fault& fault : AllFaults()) {
    const bool moves = fault.op == NotesOp::kCopySelectedNote ||
                       fault.op == NotesOp::kDeleteNoteVersion ||
                       fault.op == NotesOp::kUpdateNote ||
                       fault.op == NotesOp::kSearchDatabase;
    if (moves && !fault.alternate) {
      faults.push_back(fault);
      faults.back().postgres = true;
    }
  }
  return faults;
}

INSTANTIATE_TEST_SUITE_P(OperationsOnPostgres, FaultSweepTest,
                         ::testing::ValuesIn(PostgresFaults()), FaultName);

}  // namespace
}  // namespace vt

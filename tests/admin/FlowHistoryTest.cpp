// The overview chart's messages per minute: the router's four "Moved" forms
// counted by route and minute, everything else in the log ignored, the
// rotated log read when the window reaches into it, and a long log read only
// as far back as the window goes. Stamps are made with localtime_r, as the
// server writes them, so the tests hold in any time zone.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "support/TempDir.h"
#include "web/FlowHistory.h"

namespace vt::tool {
namespace {

using Counts = std::vector<std::array<uint64_t, FlowHistory::kRoutes>>;

// 2026-12-09 12:00:17 UTC: mid-minute, and days away from any change of
// daylight saving time in any zone.
constexpr int64_t kNow = 1796817617;
constexpr int64_t kNowMinute = kNow - 17;

const char* const kDestinations[] = {"mail.box", "Quarantine B", "Quarantine C",
                                     "Quarantine D", "Scan box"};
const char* const kTails[] = {"", ".  1 rejected.", ".  2 errors.",
                              ".  1 rejected.  2 errors."};

std::string Line(int64_t unixSeconds, const std::string& text) {
  const time_t seconds = static_cast<time_t>(unixSeconds);
  tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(stamp) + "  " + text + "\n";
}

struct Move {
  int64_t at;
  size_t route;
  uint64_t count;
};

std::string MovedLine(const Move& m, size_t form = 0) {
  return Line(m.at, "VTRouter: Moved " + std::to_string(m.count) +
                        " messages to " + kDestinations[m.route] +
                        kTails[form % 4]);
}

// What the window of `minutes` ending with kNow's minute should show.
Counts Expected(const std::vector<Move>& moves, int minutes) {
  Counts counts(static_cast<size_t>(minutes));
  const int64_t start = kNowMinute - int64_t{minutes - 1} * 60;
  for (const Move& m : moves) {
    if (m.at >= start && m.at < kNowMinute + 60) {
      counts[static_cast<size_t>((m.at - start) / 60)][m.route] += m.count;
    }
  }
  return counts;
}

TEST(FlowHistory, CountsTheFourFormsAndIgnoresEverythingElse) {
  testing::TempDir dir;
  const int64_t start = kNowMinute - 9 * 60;  // a window of ten minutes
  const std::vector<Move> moves = {
      {start + 1, 0, 3},         {start + 30, 1, 2},
      {kNowMinute - 60, 2, 0},   {kNowMinute - 59, 3, 4},
      {kNowMinute - 1, 4, 5},    {kNowMinute, 0, 7},
      {kNowMinute + 59, 1, 1},    // later than now, but in now's minute
      {start - 1, 0, 100},        // just before the window
      {kNowMinute + 60, 0, 100},  // the next minute
  };
  std::string log = Line(start - 3600, "Log times are local time, UTC+01:00");
  for (size_t i = 0; i < moves.size(); ++i) log += MovedLine(moves[i], i);
  // A task whose name is longer than a block is still counted.
  log += Line(start + 2,
              std::string(100 * 1024, 'T') + ": Moved 11 messages to Scan box");
  // A clock stepped back by less than the allowance does not end the scan.
  log += Line(start - 3 * 60, "VTRouter: Moved 9 messages to mail.box");
  log += Line(start + 3, "VTRouter: Moved 1 messages to Quarantine D");
  const char* const ignored[] = {
      "vtserver: Released message 0001 to mail.box",
      "VTRouter: Moved 3 messages to Quarantine E",
      "VTRouter: Moved 3 messages to mail.box2",
      "VTRouter: Moved 3 messages to mail.box ",
      "VTRouter: Moved x messages to mail.box",
      "VTRouter: Moved -1 messages to mail.box",
      "VTRouter: Moved 9223372036854775808 messages to mail.box",
      "VTRouter: Moved 99999999999999999999999 messages to mail.box",
      "VTRouter: Moved 3 messages to mail.box.  x rejected.",
      "VTRouter: Moved 3 messages to mail.box.  1 errors.  2 rejected.",
      "VTRouter: Moved 3 messages to Scan box.  1 rejected.  ",
      "VTRouter:Moved 3 messages to mail.box",
      "Moved 3 messages to mail.box",
      "VTRouter: Created new database Veltrane\\Q_2.nsf.",
      "\xff\xfe\x01 binary: Moved \x80 messages",
  };
  for (const char* text : ignored) log += Line(kNowMinute - 30, text);
  const std::string moved = ": Moved 4 messages to mail.box\n";
  const std::string stamp = Line(kNowMinute - 30, "").substr(0, 19);
  log += stamp.substr(0, 17) + "75  X" + moved;  // no such second
  log += stamp.substr(0, 4) + "/" + stamp.substr(5) + "  X" + moved;
  log += stamp + " X" + moved;  // one blank
  // Were it read as 2 March, it would end the scan.
  log += "2026-02-30 12:00:00  X" + moved;
  log += stamp + "\n\n";
  log += std::string(2 * 1024 * 1024, 'x') + "\n";  // longer than a line can be
  // Still being written: the line end is yet to come.
  log += Line(kNowMinute, "VTRouter: Moved 50 messages to mail.box");
  log.pop_back();
  const std::string file = dir.Write("server.log", log);

  const FlowHistory history = ReadFlowHistory(file, kNow, 10);
  EXPECT_TRUE(history.logFound);
  EXPECT_EQ(history.start, start);
  EXPECT_EQ(history.start % 60, 0);
  EXPECT_EQ(history.minutes, 10);
  Counts expected = Expected(moves, 10);
  expected[0][FlowHistory::kScan] += 11;
  expected[0][FlowHistory::kQuarantineD] += 1;
  EXPECT_EQ(history.counts, expected);
  EXPECT_EQ(expected[0], (std::array<uint64_t, 5>{3, 2, 0, 1, 11}));
  EXPECT_EQ(expected[8], (std::array<uint64_t, 5>{0, 0, 0, 4, 5}));
  EXPECT_EQ(expected[9], (std::array<uint64_t, 5>{7, 1, 0, 0, 0}));

  EXPECT_EQ(FlowRouteName(FlowHistory::kMail), "mail");
  EXPECT_EQ(FlowRouteName(FlowHistory::kQuarantineB), "B");
  EXPECT_EQ(FlowRouteName(FlowHistory::kQuarantineC), "C");
  EXPECT_EQ(FlowRouteName(FlowHistory::kQuarantineD), "D");
  EXPECT_EQ(FlowRouteName(FlowHistory::kScan), "scan");
}

TEST(FlowHistory, MissingOrUnreadableLogGivesAnEmptyHistory) {
  testing::TempDir dir;
  for (const std::string& file :
       {dir.File("server.log"), dir.path().string()}) {
    const FlowHistory history = ReadFlowHistory(file, kNow, 60);
    EXPECT_FALSE(history.logFound) << file;
    EXPECT_EQ(history.counts, Counts(60)) << file;
  }
  EXPECT_EQ(ReadFlowHistory(dir.Write("server.log", ""), kNow, 5).counts,
            Counts(5));
}

TEST(FlowHistory, WindowReachingBackReadsTheRotatedLog) {
  testing::TempDir dir;
  // Forty minutes of moves, one every ten seconds; the log was rotated
  // twenty minutes ago.
  std::vector<Move> moves;
  std::string older, current;
  for (int64_t at = kNowMinute - 40 * 60; at <= kNow; at += 10) {
    const Move m{at, static_cast<size_t>(at / 10 % 5),
                 static_cast<uint64_t>(at % 7)};
    moves.push_back(m);
    (at < kNowMinute - 20 * 60 ? older : current) +=
        MovedLine(m, static_cast<size_t>(at / 10));
  }
  dir.Write("server.log.1", older);
  const std::string file = dir.Write("server.log", current);

  const FlowHistory wide = ReadFlowHistory(file, kNow, 30);
  EXPECT_EQ(wide.counts, Expected(moves, 30));
  // Ten minutes are all in server.log, which the scan leaves early.
  const FlowHistory narrow = ReadFlowHistory(file, kNow, 10);
  EXPECT_EQ(narrow.counts, Expected(moves, 10));
  EXPECT_LT(narrow.linesRead, 20u * 6);

  // Rotated, and no line written since: the old log still tells.
  std::filesystem::remove(file);
  const FlowHistory rotated = ReadFlowHistory(file, kNow, 30);
  EXPECT_TRUE(rotated.logFound);
  Counts expected = Expected(moves, 30);
  for (size_t i = 9; i < expected.size(); ++i) expected[i] = {};
  EXPECT_EQ(rotated.counts, expected);
}

TEST(FlowHistory, LongLogIsReadOnlyAsFarAsTheWindow) {
  testing::TempDir dir;
  // 200,000 lines, one every two seconds: four and a half days.
  constexpr int kLines = 200000;
  std::vector<Move> moves;
  std::string log;
  log.reserve(kLines * 70);
  for (int i = 0; i < kLines; ++i) {
    const Move m{kNow - int64_t{kLines - 1 - i} * 2, static_cast<size_t>(i % 5),
                 static_cast<uint64_t>(i % 7)};
    moves.push_back(m);
    log += MovedLine(m, static_cast<size_t>(i / 5));
    if (i % 1000 == 0) log += Line(m.at, "vtserver: Released message");
  }
  const std::string file = dir.Write("server.log", log);

  const FlowHistory hour = ReadFlowHistory(file, kNow, 60);
  EXPECT_EQ(hour.counts, Expected(moves, 60));
  // An hour and the five minutes' allowance, not the whole log.
  EXPECT_LT(hour.linesRead, 66u * 30 + 10);
  EXPECT_GT(hour.linesRead, 60u * 30);

  const FlowHistory day = ReadFlowHistory(file, kNow, 24 * 60);
  EXPECT_EQ(day.counts, Expected(moves, 24 * 60));
  EXPECT_LT(day.linesRead, static_cast<uint64_t>(kLines) / 4);
}

}  // namespace
}  // namespace vt::tool

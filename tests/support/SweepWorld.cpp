// The sweeps' world, shared so that both prove the same promise over the
// same messages.
#include "support/SweepWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "databases/RouterItems.h"
#include "datadir/RouterSettings.h"
#include "quarantine/Quarantine.h"
#include "quarantine/QuarantineLock.h"
#include "quarantine/QuarantinePurge.h"
#include "quarantine/QuarantineRelease.h"

namespace vt::testing {
namespace {

Items Verified(const char* route, Items extra = {}) {
  extra.insert_or_assign(kItemVeltraneVerified, "1");
  extra.insert_or_assign(kItemKestoRouter, route);
  return extra;
}

// Whether a and b are quarantines of one perimeter ("...QuarantineC_1.nsf"
// and "...QuarantineC_2.nsf").
bool SamePerimeter(const std::string& a, const std::string& b) {
  const size_t cut = a.rfind('_');
  return cut != std::string::npos &&
         a.find("Quarantine") != std::string::npos &&
         b.compare(0, cut + 1, a, 0, cut + 1) == 0;
}

}  // namespace

const std::vector<std::string>& SweepMailBoxes() {
  static const std::vector<std::string> boxes = {kMailBox, kMailBox2,
                                                 kMailBox3};
  return boxes;
}

const std::vector<std::string>& SweepDatabases() {
  // With the files a roll-over makes next.
  static const std::vector<std::string> databases = {
      kMailBox,      kMailBox2,     kMailBox3,    kScanBox1,
      kScanBox2,     kQuarantineB,  kQuarantineC, kQuarantineD,
      kQuarantineB2, kQuarantineC2, kQuarantineD2};
  return databases;
}

const std::vector<std::string>& SweepItems() {
  static const std::vector<std::string> items = {
      kItemVeltraneVerified, kItemKestoRouter, kItemRoutingState,
      kItemReleased};
  return items;
}

Items SweepConfig(bool alternate) {
  return {{"ReleaseMailMinutes", 10},
          {"AlternateInterceptor", alternate ? 1 : 0},
          {"MailboxNsf", SweepMailBoxes()}};
}

std::vector<SweepMessage> MakeSweepWorld(bool alternate) {
  const Items held = {{kItemRoutingState, "HOLD"}, {kItemVeltraneProcess, ""}};
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
       {{kItemRoutingState, "DEAD"}, {kItemDeadFailureReason, "No route"}},
       0,
       "M",
       kMailBox,
       "M",
       "DEAD"},
      {"notOurs", kMailBox, notOurs, 0, "", kMailBox, "",
       alternate ? "" : "HOLD"},
      // Back from scanning and still held by the mail server.
      {"heldV", kMailBox, Verified("M", {{kItemRoutingState, "HOLD"}}), 0, "",
       kMailBox, "M", ""},
      // Verified in the scan boxes, waiting for delivery.
      {"s1M", kScanBox1, Verified("M"), 0, "", kMailBox, "M", ""},
      {"s1B", kScanBox1, Verified("B"), 0, "", kQuarantineB, "B", ""},
      {"s1C", kScanBox1, Verified("C"), 0, "", kQuarantineC, "C", ""},
      {"s1D", kScanBox1, Verified("D"), 0, "", kQuarantineD, "D", ""},
      {"s1H", kScanBox1, Verified("M", {{kItemRoutingState, "HOLD"}}), 0, "",
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

bool Delivered(const SweepMessage& m) {
  const std::string start = m.start;
  return !m.end.empty() &&
         (!m.verdict.empty() || start == kScanBox1 || start == kScanBox2);
}

std::string Misplaced(const std::vector<SweepMessage>& world,
                      const Census& census, bool deletionMayLag) {
  std::ostringstream out;
  for (const SweepMessage& m : world) {
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

int ScanWhatWaits(LocalNotesServices& server,
                  const std::vector<SweepMessage>& world,
                  const std::vector<MessageCopy>& survey) {
  std::map<std::string, std::string> verdicts;
  for (const SweepMessage& m : world) verdicts[m.id] = m.verdict;
  int given = 0;
  for (const MessageCopy& copy : survey) {
    if (copy.db != kScanBox1 && copy.db != kScanBox2) continue;
    if (copy.items.at(kItemVeltraneVerified) == "1") continue;
    const std::string& verdict = verdicts[copy.id];
    if (verdict.empty()) continue;
    EXPECT_TRUE(GiveVerdict(server, copy.db, copy.id, verdict));
    ++given;
  }
  return given;
}

std::string ReleaseFromQuarantine(LocalNotesServices& server,
                                  NotesServices& releaser, char letter,
                                  const std::string& id) {
  tool::RouterSettings settings;
  tool::Outcome outcome = tool::ReadRouterSettings(server, &settings);
  if (!outcome.ok()) return outcome.message();
  const std::vector<tool::QuarantineFile> files =
      tool::QuarantineFiles(server, settings, letter);
  // The administrator names the message by its universal ID.
  std::string unid;
  for (const tool::QuarantineFile& file : files) {
    const uint32_t noteId = FindMessage(server, file.path, id);
    if (noteId == 0) continue;
    outcome = tool::ForEachQuarantined(server, server, file,
                                       [&](const tool::QuarantinedMessage& m) {
                                         if (m.noteId == noteId)
                                           unid = tool::UnidText(m.unid);
                                       });
    if (!outcome.ok()) return outcome.message();
  }
  if (unid.empty()) return id + ": in no quarantine";
  tool::MailBoxes mailBoxes;
  outcome = mailBoxes.Open(server, settings);
  if (!outcome.ok()) return outcome.message();
  tool::Released released;
  outcome =
      tool::ReleaseMessage(releaser, files, mailBoxes, 0, unid, &released);
  return outcome.ok() ? "" : outcome.message();
}

void ExpectEveryMessageWhereItsVerdictSendsIt(
    const std::vector<SweepMessage>& world,
    const std::vector<MessageCopy>& survey, const std::string& context) {
  std::map<std::string, std::vector<const MessageCopy*>> byId;
  for (const MessageCopy& copy : survey) byId[copy.id].push_back(&copy);
  for (const SweepMessage& m : world) {
    const auto& copies = byId[m.id];
    if (m.end.empty()) {
      EXPECT_TRUE(copies.empty()) << context << ": " << m.id << " survived";
      continue;
    }
    ASSERT_EQ(copies.size(), 1u) << context << ": " << m.id;
    const MessageCopy& c = *copies[0];
    if (Delivered(m) && m.end == kMailBox) {
      EXPECT_NE(
          std::find(SweepMailBoxes().begin(), SweepMailBoxes().end(), c.db),
          SweepMailBoxes().end())
          << context << ": " << m.id << " in " << c.db;
    } else if (SamePerimeter(c.db, m.end)) {
      // Any file of its quarantine's series: one may have rolled over.
    } else {
      EXPECT_EQ(c.db, m.end) << context << ": " << m.id;
    }
    EXPECT_EQ(c.items.at(kItemKestoRouter), m.route) << context << ": " << m.id;
    EXPECT_EQ(c.items.at(kItemVeltraneVerified), m.route.empty() ? "" : "1")
        << context << ": " << m.id;
    EXPECT_EQ(c.items.at(kItemRoutingState), m.routingState)
        << context << ": " << m.id;
    EXPECT_EQ(c.items.at(kItemReleased), m.id == "stale" ? "1" : "")
        << context << ": " << m.id;
  }
}

}  // namespace vt::testing

// The whole road with real engines: Postfix hands mail to `vtserver smtp`,
// the router intercepts it, `vtserver scanner` asks private rspamd, spamd
// and clamd for its verdict, and the router delivers or quarantines it; a
// release with --learn teaches the engines. An engine that stops leaves mail
// waiting until the router's release time; once it is back, scanning resumes. A
// scanner killed again and again while mail flows gives no message two verdicts
// and loses none.
#include <signal.h>

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>

#include "PostfixRoad.h"
#include "scanner/PrivateEngines.h"
#include "scanner/ScanMessages.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

using scanner::testing::GtubeText;
using scanner::testing::PrivateClamd;
using scanner::testing::PrivateRspamd;
using scanner::testing::PrivateSpamd;

constexpr char kQuarantineD[] = "Veltrane/QuarantineD_1.nsf";

std::string WithBody(const std::string& subject, const std::string& id,
                     const std::string& body) {
  const std::string message = Message(subject, id);
  return message.substr(0, message.find("\n\n") + 2) + body;
}

// How many verdicts the scanner logged for each message.
std::map<std::string, int> VerdictsLogged(const std::string& log) {
  std::map<std::string, int> verdicts;
  const std::string mark = "Scanner: ";
  for (size_t at = log.find(mark); at != std::string::npos;
       at = log.find(mark, at + 1)) {
    const std::string id = log.substr(at + mark.size(), 32);
    if (id.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
        log.compare(at + mark.size() + 32, 4, " in ") == 0) {
      ++verdicts[id];
    }
  }
  return verdicts;
}

class ScannerRoadTest : public PostfixRoadTest {};
class ScannerServiceTest : public DataDirTest {};

TEST_F(ScannerRoadTest, SpamIsQuarantinedWithWhyAndHamAndReleasedSpamArrive) {
  PrivateRspamd rspamd;
  PrivateSpamd spamd;
  PrivateClamd clamd;
  for (scanner::testing::PrivateEngine* engine :
       std::initializer_list<scanner::testing::PrivateEngine*>{&rspamd, &spamd,
                                                               &clamd}) {
    ASSERT_EQ(engine->Launch(), "");
  }
  ASSERT_EQ(rspamd.WaitUntilAnswering() + spamd.WaitUntilAnswering() +
                clamd.WaitUntilAnswering(),
            "");
  Init(UniqueServerName());
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));
  // The engines as an administrator names them, for scanning and learning.
  ConfigureScanner(
      {"Rspamd=" + rspamd.url(), "RspamdController=" + rspamd.controllerUrl(),
       std::string("RspamdPassword=") + PrivateRspamd::kPassword,
       "Spamd=" + spamd.tcp().Text(), "Clamd=" + clamd.unixSocket().Text()});
  BackgroundProcess scanner;
  ASSERT_TRUE(StartScanner(scanner, {})) << ServerLog();

  const std::string ham = Message("ham", "ham");
  RunResult sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                                "anna@example.com", ham);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 1; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 1));
  EXPECT_EQ(MessageBody(postfix.ReadMaildir(postfix.Maildir()[0])),
            MessageBody(ham));

  const std::string gtube = WithBody("gtube", "gtube", GtubeText() + "\n");
  sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                      "anna@example.com", gtube);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  // The EICAR test file as an attachment, as the scanner's own tests send it.
  const std::string eicar = scanner::testing::EicarRequest().message;
  sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                      "anna@example.com", eicar);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitForCount(kQuarantineC, "gtube", 1)) << Logs(postfix);
  ASSERT_TRUE(WaitForCount(kQuarantineD, "The file you asked for", 1))
      << Logs(postfix);

  // Why it is there: both spam engines found the test line; clamd found
  // nothing in the text, and said so.
  const StoredMessage spam = Messages(kQuarantineC)[0];
  EXPECT_EQ(spam.Item("Kesto_Router"), "C");
  EXPECT_EQ(spam.Item("VTScanEngine"), "rspamd;spamd;clamd");
  EXPECT_EQ(spam.Item("VTScanAction"), "reject;spam;clean");
  EXPECT_NE(spam.Item("VTScanSymbols").find("rspamd:GTUBE"), std::string::npos)
      << spam.Item("VTScanSymbols");
  EXPECT_NE(spam.Item("VTScanSymbols").find("spamd:GTUBE"), std::string::npos);
  // rspamd's reject score, spamd's GTUBE near 1000, none from clamd.
  EXPECT_TRUE(
      std::regex_match(spam.Item("VTScanScore"),
                       std::regex("[0-9]+\\.[0-9]{2};[0-9]{3,4}\\.[0-9]{2};")))
      << spam.Item("VTScanScore");
  const StoredMessage virus = Messages(kQuarantineD)[0];
  EXPECT_EQ(virus.Item("Kesto_Router"), "D");
  EXPECT_FALSE(virus.Item("VTScanVirus").empty());

  // A false positive, as far as the test goes: released and taught.
  const RunResult released =
      Vt({"quarantine", dir(), "release", spam.unid, "--learn"});
  ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
  EXPECT_NE(released.out.find("learnt as ham by rspamd, spamd"),
            std::string::npos)
      << released.out;
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 2; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 2));
  EXPECT_EQ(MessageBody(postfix.ReadMaildir(postfix.Maildir()[1])),
            MessageBody(gtube));
  // One verdict each, logged once.
  for (const auto& [id, count] : VerdictsLogged(ServerLog())) {
    EXPECT_EQ(count, 1) << id;
  }
  EXPECT_EQ(VerdictsLogged(ServerLog()).size(), 3u) << ServerLog();
}

TEST_F(ScannerRoadTest, MailWaitsForAStoppedEngineUntilItsReleaseTime) {
  PrivateSpamd spamd;
  ASSERT_EQ(spamd.Launch(), "");
  ASSERT_EQ(spamd.WaitUntilAnswering(), "");
  Init(UniqueServerName());
  ASSERT_EQ(Vt({"config", dir(), "ReleaseMailMinutes=10"}).exitCode, 0);
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "enablerelease"}).exitCode, 0);
  BackgroundProcess scanner;
  ASSERT_TRUE(StartScanner(scanner, {"--spamd", spamd.tcp().Text()}));

  spamd.Stop();
  const std::string mail = Message("waits", "waits");
  RunResult sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                                "anna@example.com", mail);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitForCount(kScanBox, "waits", 1)) << Logs(postfix);
  ASSERT_TRUE(WaitUntil(
      [&] { return Logged("is not answering; mail waits for it"); }, 20000))
      << ServerLog();
  // Tried again and again, logged once, and shown where stats reads it.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Occurrences(ServerLog(), "is not answering"), 1) << ServerLog();
  EXPECT_EQ(Count(kScanBox, "waits"), 1);
  EXPECT_NE(Vt({"show", dir(), "tasks"}).out.find("down spamd"),
            std::string::npos)
      << Vt({"show", dir(), "tasks"}).out;
  EXPECT_TRUE(postfix.Maildir().empty());

  // The router's release time is the fail-open.
  ASSERT_TRUE(BackdateCreation(dir(), kScanBox, 11).ok());
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 1; }, 60000))
      << Logs(postfix);

  // The engine back: the next message is scanned and delivered.
  ASSERT_EQ(spamd.Launch(), "");
  ASSERT_EQ(spamd.WaitUntilAnswering(), "");
  sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                      "anna@example.com", Message("scanned", "scanned"));
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 2; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 2));
  EXPECT_TRUE(Logged("answers again."));
  EXPECT_EQ(VerdictsLogged(ServerLog()).size(), 1u) << ServerLog();
}

// The scanner killed at random while the router intercepts and delivers:
// every message ends in exactly one place, spam in the quarantine and ham in
// mail.box, and none was given a verdict twice.
TEST_F(ScannerServiceTest, AScannerKilledAtRandomLosesNothingAndJudgesOnce) {
  PrivateSpamd spamd;
  ASSERT_EQ(spamd.Launch(), "");
  ASSERT_EQ(spamd.WaitUntilAnswering(), "");
  Init(UniqueServerName());
  BackgroundProcess router;
  StartRouter(router);
  std::mt19937 random(20261210);
  constexpr int kRounds = 8;
  constexpr int kEach = 10;
  for (int round = 0; round < kRounds; ++round) {
    Send("ham " + std::to_string(round), kEach);
    Send("spam " + GtubeText() + " " + std::to_string(round), kEach);
    BackgroundProcess scanner;
    ASSERT_TRUE(StartScanner(
        scanner, {"--spamd", spamd.tcp().Text(), "--concurrency", "4"}))
        << ServerLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 2500));
    scanner.Signal(SIGKILL);
    ASSERT_TRUE(scanner.WaitForExit(10000));
  }
  BackgroundProcess scanner;
  ASSERT_TRUE(StartScanner(scanner, {"--spamd", spamd.tcp().Text()}));
  constexpr size_t kAll = 2 * kRounds * kEach;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Messages("mail.box").size() + Messages(kQuarantineC).size() ==
               kAll;
      },
      120000))
      << ServerLog();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::set<std::string> seen;
  for (const char* place : {"mail.box", kQuarantineC, kScanBox,
                            "Veltrane/QuarantineB_1.nsf", kQuarantineD}) {
    for (const StoredMessage& message : Messages(place)) {
      EXPECT_TRUE(seen.insert(message.unid).second) << message.unid;
      const bool spam = message.Item("Subject").starts_with("spam");
      EXPECT_EQ(std::string(place), spam ? kQuarantineC : "mail.box")
          << message.Item("Subject");
    }
  }
  EXPECT_EQ(seen.size(), kAll);
  for (const auto& [id, count] : VerdictsLogged(ServerLog())) {
    EXPECT_EQ(count, 1) << id;
  }
}

// A message the engine fails on again and again is decided without it; an
// engine that fails on one message after another is down, and mail waits.
TEST_F(ScannerServiceTest, RepeatedFailuresEndInAVerdictUnlessTheEngineIsDown) {
  scanner::testing::StallingListener stalling;
  Init(UniqueServerName());
  BackgroundProcess router;
  StartRouter(router);
  Send("lone", 1);
  BackgroundProcess scanner;
  ASSERT_TRUE(StartScanner(scanner, {"--rspamd", stalling.url(), "--timeout",
                                     "1", "--max-failures", "2"}));
  // Back in mail.box, with the reason: a time-out, then another.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<StoredMessage> back = Messages("mail.box");
        return back.size() == 1 && back[0].Has("VTScanGivenUp");
      },
      40000))
      << ServerLog();
  EXPECT_TRUE(Logged("given M without a verdict: 2 scans gave no verdict"))
      << ServerLog();
  EXPECT_NE(Messages("mail.box")[0].Item("VTScanGivenUp").find("timed out"),
            std::string::npos)
      << Messages("mail.box")[0].Item("VTScanGivenUp");

  Send("many", 4);
  ASSERT_TRUE(WaitUntil([&] { return Logged("is not answering"); }, 30000))
      << ServerLog();
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_EQ(Count(kScanBox, "many"), 4);
  EXPECT_NE(Vt({"show", dir(), "tasks"}).out.find("down rspamd"),
            std::string::npos);
  const RunResult json = Vt({"stats", dir(), "--json"});
  const auto down = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_FALSE(down.is_discarded()) << json.out;
  EXPECT_EQ(down["scanner"]["enginesDown"], nlohmann::json::array({"rspamd"}))
      << json.out;
  const fs::path metrics = folder() / "metrics.prom";
  ASSERT_EQ(Vt({"stats", dir(), "--prometheus", "--output", metrics.string()})
                .exitCode,
            0);
  const RunResult exposed = RunProgram("/bin/cat", {metrics.string()});
  EXPECT_NE(
      exposed.out.find("vtrouter_scanner_engine_down{engine=\"rspamd\"} 1\n"),
      std::string::npos)
      << exposed.out;
  EXPECT_NE(exposed.out.find("vtrouter_scanner_up 1\n"), std::string::npos);
  if (RunProgram("/bin/sh", {"-c", "command -v promtool"}).exitCode == 0) {
    const RunResult check = RunProgram(
        "/bin/sh",
        {"-c", "promtool check metrics < \"$0\" 2>&1", metrics.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
  }
}

// Too large to scan: decided at once, and the note says why.
TEST_F(ScannerServiceTest, AMessageOverTheSizeLimitGetsItsVerdictAtOnce) {
  scanner::testing::StallingListener stalling;
  Init(UniqueServerName());
  BackgroundProcess router;
  StartRouter(router);
  Send("big", 2);
  BackgroundProcess scanner;
  ASSERT_TRUE(StartScanner(scanner, {"--rspamd", stalling.url(), "--max-size",
                                     "100", "--oversize-verdict", "B"}));
  ASSERT_TRUE(WaitForCount("Veltrane/QuarantineB_1.nsf", "big", 2))
      << ServerLog();
  const StoredMessage big = Messages("Veltrane/QuarantineB_1.nsf")[0];
  EXPECT_NE(big.Item("VTScanGivenUp").find("over the limit of 100 bytes"),
            std::string::npos)
      << big.Item("VTScanGivenUp");
  EXPECT_EQ(Occurrences(ServerLog(), "given B without a verdict"), 2);
}

}  // namespace
}  // namespace vt::e2e

// The web console in a real browser: headless Chromium drives the real
// `vtserver web` beside a running vtrouter on a data directory of its own.
// What WebConsoleTest proves over plain HTTP is taken as given here; these
// tests prove what only a browser shows: that the pages' script renders
// what `vtserver stats` says, that a hostile subject stays text, that the
// buttons release and delete, and that the browser itself cannot be made
// to change the quarantine without the page's token, from another origin
// least of all.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DataDirTest.h"
#include "StoreAccess.h"
#include "WebDriver.h"
#include "WebProcess.h"

namespace vt::e2e {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kHostile[] = "<img src=x onerror=alert(1)>";
constexpr char kQuarantineC[] = "Veltrane/QuarantineC_1.nsf";
constexpr char kRefreshes[] = "Number(document.body.dataset.refreshes || 0)";
// A well-formed universal ID that no message has.
constexpr char kUnknownId[] = "0123456789ABCDEF0123456789ABCDEF";

// A page of another origin (127.0.0.1 on a port of its own): what a hostile
// site open in the same browser could do.
std::vector<TestPage> AnotherSite() {
  return {{"/",
           "text/html",
           "<!doctype html><html><head><title>elsewhere</title></head>"
           "<body><p>another site</p></body></html>",
           {}}};
}

// A data directory, its router and its console, and a browser: skipped
// (or failed, with VT_REQUIRE_BROWSER=1) like BrowserTest when no browser
// is installed.
class WebBrowserTest : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    StartBrowserOrSkip(&browser_);
  }

  void TearDown() override {
    // The browser first, then the console and the router, then their
    // folder.
    browser_.reset();
    web_.reset();
    router_.reset();
    DataDirTest::TearDown();
  }

  Browser& browser() { return *browser_; }
  WebProcess& web() { return *web_; }

  // A new data directory with its router running and the console serving
  // it.
  void StartAll() {
    Init(UniqueServerName());
    router_ = std::make_unique<BackgroundProcess>();
    StartRouter(*router_);
    if (HasFatalFailure()) return;
    web_ = std::make_unique<WebProcess>();
    ASSERT_TRUE(web_->Start(dir(), (folder() / "web.out").string()))
        << web_->Output();
  }

  // A new data directory and the console, without a router.
  void StartConsole() {
    Init(UniqueServerName());
    web_ = std::make_unique<WebProcess>();
    ASSERT_TRUE(web_->Start(dir(), (folder() / "web.out").string()))
        << web_->Output();
  }

  int InScanBoxes(const std::string& subject) const {
    return Count("Veltrane/Scan/Scan_1.box", subject) +
           Count("Veltrane/Scan/Scan_2.box", subject);
  }

  // Sends count messages of subject and waits until the router has put
  // them all into the scan boxes.
  void SendToScanner(const std::string& subject, int count) {
    Send(subject, count);
    ASSERT_TRUE(WaitUntil([&] { return InScanBoxes(subject) == count; }, 30000))
        << subject << ": " << InScanBoxes(subject) << " in the scan boxes";
  }

  // One message of each subject quarantined in C.
  void Quarantine(const std::vector<std::string>& subjects) {
    for (const std::string& subject : subjects) Send(subject, 1);
    ASSERT_TRUE(WaitUntil(
        [&] {
          return std::all_of(
              subjects.begin(), subjects.end(),
              [&](const std::string& s) { return InScanBoxes(s) == 1; });
        },
        30000));
    ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
    for (const std::string& subject : subjects) {
      ASSERT_TRUE(WaitForCount(kQuarantineC, subject, 1)) << subject;
    }
  }

  Json Stats() const {
    const RunResult r = Vt({"stats", dir(), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return Json::parse(r.out, nullptr, false);
  }

  // Polls `vtserver stats --json` until done holds; the last figures.
  Json WaitForStats(const std::function<bool(const Json&)>& done) const {
    Json last;
    WaitUntil(
        [&] {
          last = Stats();
          return !last.is_discarded() && done(last);
        },
        30000);
    return last;
  }

  // Waits for the page's next refresh (it counts them in
  // body[data-refreshes]).
  ::testing::AssertionResult WaitForNextRefresh() {
    const int seen =
        browser().Execute("return " + std::string(kRefreshes) + ";").get<int>();
    if (browser().WaitFor(
            std::string(kRefreshes) + " > " + std::to_string(seen),
            std::chrono::seconds(12))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "the page did not refresh; it shows: " << browser().Text("main");
  }

  // The universal ID of the quarantine page's row whose subject is exactly
  // subject; empty when no row or several have it.
  std::string RowId(const std::string& subject) {
    const Json ids = browser().Execute(
        "return Array.from(document.querySelectorAll('#messages tr'))"
        ".filter((r) => { const s = r.querySelector('td.subject');"
        " return s && s.textContent === arguments[0]; })"
        ".map((r) => r.dataset.unid);",
        {subject});
    EXPECT_EQ(ids.size(), 1u) << subject << ": " << ids;
    return ids.size() == 1 ? ids[0].get<std::string>() : std::string();
  }
  static std::string Row(const std::string& unid) {
    return "#messages tr[data-unid=\"" + unid + "\"] ";
  }

  // The quarantine page's subjects, in its order.
  std::vector<std::string> Subjects() {
    const Json subjects = browser().Execute(
        "return Array.from(document.querySelectorAll('#messages td.subject'))"
        ".map((s) => s.textContent);");
    std::vector<std::string> list;
    for (const Json& s : subjects) list.push_back(s.get<std::string>());
    return list;
  }

  // Fails on anything the browser reported that shows a broken page: a
  // Content-Security-Policy violation or an error of the console's script.
  void ExpectCleanBrowserLog() {
    for (const std::string& entry : browser().BrowserLog()) {
      EXPECT_EQ(entry.find("Content Security Policy"), std::string::npos)
          << entry;
      EXPECT_EQ(entry.find("/assets/console.js"), std::string::npos) << entry;
    }
  }

 private:
  std::unique_ptr<Browser> browser_;
  std::unique_ptr<BackgroundProcess> router_;
  std::unique_ptr<WebProcess> web_;
};

TEST_F(WebBrowserTest, OverviewShowsWhatStatsShowsAndAStalledScanner) {
  StartAll();
  if (HasFatalFailure()) return;
  browser().Navigate(web().url() + "/");
  ASSERT_TRUE(browser().WaitFor(std::string(kRefreshes) + " >= 1"));
  EXPECT_TRUE(browser().WaitForText("#router-state", "running"));
  EXPECT_FALSE(browser().Displayed("#alert")) << browser().Text("#alert");

  // While the page is open: two messages delivered as mail, three
  // quarantined in C, and two written ten minutes ago that the scanner
  // never gets to. Old mail that has only just reached the scanner raises
  // no alarm.
  SendToScanner("web-mail", 2);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "M"}).exitCode, 0);
  SendToScanner("web-spam", 3);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--count", "2", "--subject", "web-stalled",
                "--age", "10"})
                .exitCode,
            0);
  Json stats = WaitForStats([](const Json& s) {
    const Json& today = s["router"]["today"];
    return today.is_object() && today["mail"] == 2 && today["spamC"] == 3 &&
           s["waiting"]["scanner"] == 2;
  });
  ASSERT_EQ(stats["waiting"]["scanner"], 2) << stats.dump(2);
  ASSERT_EQ(stats["router"]["today"]["spamC"], 3) << stats.dump(2);
  ASSERT_LT(stats["waiting"]["scannerOldestAgeSeconds"], 300);
  ASSERT_TRUE(WaitForNextRefresh());
  EXPECT_EQ(browser().Text("#waiting-scanner"), "2");
  EXPECT_FALSE(browser().Displayed("#alert")) << browser().Text("#alert");

  // Ten minutes later, as far as the scan boxes tell.
  for (const char* box :
       {"Veltrane/Scan/Scan_1.box", "Veltrane/Scan/Scan_2.box"}) {
    ASSERT_EQ(BackdateEntries(dir(), box, 10), Status());
  }
  stats = WaitForStats([](const Json& s) {
    return s["waiting"]["scannerOldestAgeSeconds"] >= 600;
  });
  ASSERT_GE(stats["waiting"]["scannerOldestAgeSeconds"], 600);

  // The page catches up by itself.
  ASSERT_TRUE(WaitForNextRefresh());
  const Json& today = stats["router"]["today"];
  EXPECT_EQ(browser().Text("#today-mail"), today["mail"].dump());
  EXPECT_EQ(browser().Text("#today-b"), today["spamB"].dump());
  EXPECT_EQ(browser().Text("#today-c"), today["spamC"].dump());
  EXPECT_EQ(browser().Text("#today-d"), today["spamD"].dump());
  EXPECT_EQ(browser().Text("#router-state"),
            stats["router"]["state"].get<std::string>());
  EXPECT_EQ(browser().Text("#waiting-scanner"),
            stats["waiting"]["scanner"].dump());
  EXPECT_EQ(browser().Text("#scanner-oldest").rfind("10m ", 0), 0u)
      << browser().Text("#scanner-oldest");

  Json expected = Json::array();
  for (const Json& q : stats["quarantines"]) {
    expected.push_back({q["perimeter"], q["messages"].dump()});
  }
  const Json shown = browser().Execute(
      "return Array.from(document.querySelectorAll('#quarantines tr'))"
      ".map((r) => [r.cells[0].textContent, r.cells[1].textContent]);");
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(shown.size(), 3u);

  // Waiting five minutes or more: the red banner names the scanner.
  EXPECT_TRUE(browser().Displayed("#alert"));
  const std::string alert = browser().Text("#alert");
  EXPECT_NE(alert.find("The scanner has stopped: 2 messages wait for a "
                       "verdict, the oldest for 10m "),
            std::string::npos)
      << alert;
  EXPECT_EQ(browser().AlertText(), std::nullopt);
  ExpectCleanBrowserLog();
}

TEST_F(WebBrowserTest, QuarantinePageKeepsHostileTextAndChangesOnlyOnRequest) {
  StartAll();
  if (HasFatalFailure()) return;
  Quarantine({kHostile, "web-delete", "web-keep"});
  if (HasFatalFailure()) return;
  browser().Navigate(web().url() + "/quarantine");
  ASSERT_TRUE(browser().WaitFor(std::string(kRefreshes) + " >= 1"));

  // The subject is shown as the very text, and nothing in it ran.
  std::vector<std::string> subjects = Subjects();
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects,
            (std::vector<std::string>{kHostile, "web-delete", "web-keep"}));
  const std::string hostile = RowId(kHostile);
  const std::string keep = RowId("web-keep");
  ASSERT_FALSE(hostile.empty());
  ASSERT_FALSE(keep.empty());
  EXPECT_EQ(browser().Text(Row(hostile) + "td.subject"), kHostile);
  EXPECT_EQ(browser().Count("#messages img"), 0);
  EXPECT_EQ(browser().AlertText(), std::nullopt);

  // Its detail too.
  browser().Click(Row(hostile) + "button.open");
  ASSERT_TRUE(browser().WaitFor("!document.getElementById('detail').hidden"));
  const Json subjectItem = browser().Execute(
      "const row = Array.from(document.querySelectorAll('#detail-items tr'))"
      ".find((r) => r.cells[0].textContent === 'Subject');"
      "return row ? row.cells[1].textContent : null;");
  EXPECT_EQ(subjectItem, kHostile);
  EXPECT_EQ(browser().Count("#detail-items img"), 0);
  EXPECT_EQ(browser().AlertText(), std::nullopt);

  // Released to the mail box chosen: delivered once and gone from the
  // quarantine (and, checked at the end, the router leaves it at that).
  browser().Click(Row(hostile) + "input.select");
  browser().Click("#release-to option[value=\"mail.box\"]");
  browser().Click("#release");
  EXPECT_TRUE(browser().WaitForText("#result", "1 released to mail.box."));
  const Clock::time_point released = Clock::now();
  EXPECT_EQ(Count("mail.box", kHostile), 1);
  EXPECT_EQ(Count(kQuarantineC, kHostile), 0);
  EXPECT_TRUE(Logged("vtserver: Released message " + hostile));
  EXPECT_TRUE(browser().WaitFor(
      "document.querySelectorAll('#messages td.subject').length === 2"));

  // Deleting asks first; accepted, the message is gone.
  const std::string doomed = RowId("web-delete");
  ASSERT_FALSE(doomed.empty());
  browser().Click(Row(doomed) + "input.select");
  browser().Click("#delete");
  ASSERT_TRUE(
      WaitUntil([&] { return browser().AlertText().has_value(); }, 5000));
  EXPECT_EQ(browser().AlertText(), "Delete 1 quarantined message for good?");
  browser().AcceptAlert();
  EXPECT_TRUE(browser().WaitForText("#result", "1 deleted."));
  EXPECT_EQ(Count(kQuarantineC, "web-delete"), 0);
  EXPECT_TRUE(browser().WaitFor(
      "document.querySelectorAll('#messages td.subject').length === 1"));
  EXPECT_EQ(Subjects(), std::vector<std::string>{"web-keep"});
  EXPECT_EQ(browser().AlertText(), std::nullopt);

  // From the console's own page, a change without the header is refused;
  // with the page's token it is served (an unknown ID reported as such).
  const Json refused = browser().Execute(
      "return fetch('/api/quarantine/release', {method: 'POST',"
      " headers: {'Content-Type': 'application/json'},"
      " body: JSON.stringify({ids: [arguments[0]]})})"
      ".then((r) => r.status);",
      {keep});
  EXPECT_EQ(refused, 403);
  const Json answered = browser().Execute(
      "const token = document.querySelector('meta[name=\"vt-csrf\"]')"
      ".content;"
      "return fetch('/api/quarantine/release', {method: 'POST',"
      " headers: {'Content-Type': 'application/json', 'X-VT-CSRF': token},"
      " body: JSON.stringify({ids: [arguments[0]]})})"
      ".then((r) => r.json().then((body) => ({status: r.status, body})));",
      {kUnknownId});
  EXPECT_EQ(answered["status"], 200) << answered;
  EXPECT_EQ(answered["body"]["results"][0]["ok"], false) << answered;
  EXPECT_EQ(Count(kQuarantineC, "web-keep"), 1);
  ExpectCleanBrowserLog();

  // From a page of another origin: a fetch that needs no preflight gets as
  // far as the console (its answer is opaque, not a network error)...
  TestSite other(AnotherSite());
  browser().Navigate(other.Url());
  ASSERT_EQ(browser().Title(), "elsewhere");
  const std::string release = web().url() + "/api/quarantine/release";
  const std::string body = Json{{"ids", {keep}}, {"to", "mail.box"}}.dump();
  const Json sent = browser().Execute(
      "return fetch(arguments[0], {method: 'POST', mode: 'no-cors',"
      " headers: {'Content-Type': 'text/plain'}, body: arguments[1]})"
      ".then((r) => r.type, (e) => 'failed: ' + e);",
      {release, body});
  EXPECT_EQ(sent, "opaque");
  // ... and so does a form whose text/plain body is that JSON (with one
  // more member); the browser then shows the refusal.
  browser().Execute(
      "const form = document.createElement('form');"
      "form.method = 'POST'; form.action = arguments[0];"
      "form.enctype = 'text/plain';"
      "const field = document.createElement('input');"
      "field.name = arguments[1].slice(0, -1) + ',\"x\":\"';"
      "field.value = '\"}';"
      "form.append(field); document.body.append(form); form.submit();",
      {release, body});
  EXPECT_TRUE(browser().WaitFor("location.href === " + Json(release).dump()))
      << browser().Url();
  EXPECT_TRUE(browser().WaitFor(
      "document.body.innerText.includes('no valid CSRF token')"))
      << browser().Text("body");

  // Nothing moved.
  EXPECT_EQ(Count(kQuarantineC, "web-keep"), 1);
  EXPECT_EQ(Count("mail.box", "web-keep"), 0);
  EXPECT_FALSE(Logged("vtserver: Released message " + keep));
  browser().Navigate(web().url() + "/quarantine");
  ASSERT_TRUE(browser().WaitFor(std::string(kRefreshes) + " >= 1"));
  EXPECT_EQ(Subjects(), std::vector<std::string>{"web-keep"});
  ExpectCleanBrowserLog();

  // A few of the router's passes (one every 2 s) after the release, still
  // one copy.
  std::this_thread::sleep_until(released + std::chrono::seconds(5));
  EXPECT_EQ(Count("mail.box", kHostile), 1);
  EXPECT_EQ(Count(kQuarantineC, kHostile), 0);
  EXPECT_EQ(InScanBoxes(kHostile), 0);
}

// A batch of false positives is one action: the search, "all that match",
// one confirmation, and the server releases every match, not only the page.
TEST_F(WebBrowserTest, EveryMessageASearchFindsIsReleasedInOneAction) {
  StartAll();
  if (HasFatalFailure()) return;
  Quarantine({"batch-1", "batch-2", "batch-3", "unrelated"});
  if (HasFatalFailure()) return;
  browser().Navigate(web().url() + "/quarantine");
  ASSERT_TRUE(browser().WaitFor(std::string(kRefreshes) + " >= 1"));
  browser().Type("#search-subject", "batch");
  browser().Click("#search-form button[type=submit]");
  ASSERT_TRUE(
      browser().WaitForText("#all-matching-text", "All 3 messages that match"));
  browser().Click("#all-matching");
  browser().Click("#release-to option[value=\"mail.box\"]");
  browser().Click("#release");
  ASSERT_TRUE(
      WaitUntil([&] { return browser().AlertText().has_value(); }, 5000));
  EXPECT_EQ(browser().AlertText(), "Release all 3 messages that match?");
  browser().AcceptAlert();
  EXPECT_TRUE(browser().WaitForText("#result", "3 released to mail.box."));
  for (const char* subject : {"batch-1", "batch-2", "batch-3"}) {
    EXPECT_EQ(Count("mail.box", subject), 1) << subject;
    EXPECT_EQ(Count(kQuarantineC, subject), 0) << subject;
  }
  EXPECT_EQ(Count(kQuarantineC, "unrelated"), 1);
  ExpectCleanBrowserLog();
}

TEST_F(WebBrowserTest, PagesFitAPhone) {
  StartConsole();
  browser().SetWindowSize(390, 844);
  // Nothing runs off the side: wide tables scroll in their own box, and the
  // header wraps with its time whole.
  const std::string fits =
      "document.documentElement.scrollWidth <= window.innerWidth && "
      "document.getElementById('updated').getBoundingClientRect().right <= "
      "window.innerWidth";
  for (const char* page : {"/", "/quarantine", "/log"}) {
    browser().Navigate(web().url() + page);
    ASSERT_TRUE(browser().WaitFor(std::string(kRefreshes) + " >= 1")) << page;
    EXPECT_TRUE(browser().Execute("return " + fits + ";").get<bool>())
        << page << ": "
        << browser().Execute(
               "return [document.documentElement.scrollWidth, "
               "window.innerWidth];");
  }
  // An empty quarantine says so, not "0-0 of 0".
  browser().Navigate(web().url() + "/quarantine");
  EXPECT_TRUE(browser().WaitForText("#page-info", "No messages"));
  ExpectCleanBrowserLog();
}

}  // namespace
}  // namespace vt::e2e

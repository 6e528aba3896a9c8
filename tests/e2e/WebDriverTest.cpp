// The browser tests' WebDriver client, driven against a page served here:
// that it drives a real headless browser, and that the browser enforces a
// Content-Security-Policy and reports its violations, which the web
// console's tests rely on to prove that the console runs no inline script.
#include <gtest/gtest-spi.h>

#include <chrono>
#include <thread>

#include "Programs.h"
#include "WebDriver.h"

namespace vt::e2e {
namespace {

// Its own script may run; the inline one must not.
constexpr char kPage[] = R"(<!doctype html>
<html><head><title>WebDriver smoke</title><script src="/app.js" defer></script>
</head><body><input id="name"><button id="go">Go</button>
<p id="out">waiting</p><p id="inline">untouched</p>
<script>document.getElementById('inline').textContent = 'ran';</script>
</body></html>)";
constexpr char kScript[] = R"(document.getElementById('go').onclick = () => {
  document.getElementById('out').textContent =
      'hello ' + document.getElementById('name').value;
};)";

// The page, its script and a policy that forbids inline scripts.
std::vector<TestPage> SmokePages() {
  const HttpHeaders policy = {{"Content-Security-Policy", "script-src 'self'"}};
  return {{"/", "text/html", kPage, policy},
          {"/app.js", "text/javascript", kScript, policy}};
}

using WebDriverTest = BrowserTest;

TEST_F(WebDriverTest, DrivesAPageUnderAContentSecurityPolicy) {
  TestSite server(SmokePages());
  browser().Navigate(server.Url());
  EXPECT_EQ(browser().Url(), server.Url());
  EXPECT_EQ(browser().Title(), "WebDriver smoke");
  EXPECT_EQ(browser().Count("p"), 2);
  EXPECT_TRUE(browser().Displayed("#go"));
  EXPECT_FALSE(browser().Displayed("#absent"));

  browser().Type("#name", "typed over");
  browser().Type("#name", "Ada");
  browser().Click("#go");
  EXPECT_TRUE(browser().WaitForText("#out", "hello Ada"));
  EXPECT_EQ(browser().Texts("p"),
            (std::vector<std::string>{"hello Ada", "untouched"}));
  EXPECT_EQ(browser().Execute("return arguments[0] + arguments[1];", {40, 2}),
            42);

  bool reported = false;
  for (const std::string& message : browser().BrowserLog()) {
    reported |= message.find("Content Security Policy") != std::string::npos;
  }
  EXPECT_TRUE(reported) << "no CSP violation in the browser log";

  browser().SetWindowSize(800, 600);
  EXPECT_EQ(browser().ScreenshotPng().substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(browser().AlertText(), std::nullopt);
}

TEST_F(WebDriverTest, ReportsAlertsAndMissingElements) {
  browser().Navigate("about:blank");
  browser().Execute("setTimeout(() => alert('careful'), 0);");
  EXPECT_TRUE(
      WaitUntil([&] { return browser().AlertText().has_value(); }, 5000));
  EXPECT_EQ(browser().AlertText(), "careful");
  browser().AcceptAlert();
  EXPECT_EQ(browser().AlertText(), std::nullopt);

  // A missing element is a failure that names the selector.
  ::testing::TestPartResultArray failures;
  {
    ::testing::ScopedFakeTestPartResultReporter fake(
        ::testing::ScopedFakeTestPartResultReporter::
            INTERCEPT_ONLY_CURRENT_THREAD,
        &failures);
    EXPECT_EQ(browser().Text("#missing"), "");
  }
  ASSERT_EQ(failures.size(), 1);
  EXPECT_NE(
      std::string(failures.GetTestPartResult(0).message()).find("#missing"),
      std::string::npos);
}

}  // namespace
}  // namespace vt::e2e

// A small WebDriver client for the browser tests: the web console is only
// proven to work in a real browser (its scripts, its Content-Security-Policy,
// its alerts), and Debian's headless chromium driven by chromedriver is the
// one browser the test machines have. The client speaks chromedriver's W3C
// endpoints over loopback HTTP and turns every error into a test failure, so
// that the tests read as a list of user actions.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "WebHttp.h"
#include "support/TempDir.h"

namespace vt::e2e {

// One headless browser session, from construction to destruction. Nothing
// it starts outlives it: the session is closed, chromedriver and every
// browser process are ended and the browser's profile is removed, also when
// a test stopped halfway.
class Browser {
 public:
  // Whether chromium and chromedriver are installed (/usr/bin/chromium and
  // /usr/bin/chromedriver, or VT_CHROMIUM and VT_CHROMEDRIVER); why not.
  static bool Available(std::string* why);

  // Starts chromedriver and a session; a failure of the test otherwise.
  Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  ~Browser();

  // Whether the session started; every command fails the test when not.
  bool Started() const { return !session_.empty(); }

  // Loads url and waits until it has loaded.
  void Navigate(const std::string& url);
  std::string Url();
  std::string Title();

  // The rendered text of the first element matching a CSS selector; a
  // failure naming the selector when none does.
  std::string Text(const std::string& css);
  std::vector<std::string> Texts(const std::string& css);
  int Count(const std::string& css);
  void Click(const std::string& css);
  // Clears the field first, as a user replacing its content would.
  void Type(const std::string& css, const std::string& text);
  // False also when nothing matches.
  bool Displayed(const std::string& css);

  // Runs a synchronous script (its arguments as arguments[i]); its value.
  nlohmann::json Execute(const std::string& script,
                         const nlohmann::json& args = nlohmann::json::array());
  // Polls a JavaScript expression every 100 ms until it is truthy; whether it
  // became so. A script error fails the test and ends the wait.
  bool WaitFor(const std::string& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the first element matching css shows exactly expected
  // (trimmed); on timeout the result names what it showed instead.
  ::testing::AssertionResult WaitForText(
      const std::string& css, const std::string& expected,
      std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // The open alert's (or confirm's) text; nullopt when none is open. An open
  // alert stays open until dismissed or accepted here, and other commands
  // fail while it is.
  std::optional<std::string> AlertText();
  void DismissAlert();
  void AcceptAlert();

  // The browser console's messages since the previous call (errors such as
  // Content-Security-Policy violations included); chromedriver hands each
  // entry out once.
  std::vector<std::string> BrowserLog();

  // The visible page as PNG bytes.
  std::string ScreenshotPng();
  void SetWindowSize(int width, int height);

 private:
  class Driver;
  struct Reply;

  // One command to chromedriver; a failure of the test naming command when
  // it fails, with an empty value.
  nlohmann::json Call(const std::string& command, const std::string& method,
                      const std::string& path,
                      const nlohmann::json& body = nullptr);
  // The same without failing the test, for errors that are answers.
  Reply Send(const std::string& method, const std::string& path,
             const nlohmann::json& body);
  // The element IDs of the elements matching css, in document order.
  std::vector<std::string> Elements(const std::string& css);
  // The first one's ID; a failure naming command and css when none matches.
  std::string Element(const std::string& command, const std::string& css);

  // Declared first, removed last: the browser writes its profile here until
  // its processes are gone.
  vt::testing::TempDir folder_;
  std::unique_ptr<Driver> driver_;
  std::unique_ptr<HttpClient> http_;
  std::string session_;
};

// Starts *browser, or skips the test with the reason when no browser is
// installed; with VT_REQUIRE_BROWSER=1 (the machines that must run them) a
// missing browser fails it instead. The caller returns when the test is
// skipped or failed.
void StartBrowserOrSkip(std::unique_ptr<Browser>* browser);

// A fixture for browser tests: a fresh Browser per test, or the test skipped
// with the reason when none is installed; with VT_REQUIRE_BROWSER=1 (the
// machines that must run them) a missing browser fails it instead.
class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { browser_.reset(); }
  Browser& browser() { return *browser_; }

 private:
  std::unique_ptr<Browser> browser_;
};

}  // namespace vt::e2e

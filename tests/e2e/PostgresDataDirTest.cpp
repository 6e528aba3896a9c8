// A server whose own databases live in PostgreSQL (`vtserver init
// --databases`, which takes back what it made when it fails), run by the
// real programs: mail comes in over SMTP, the
// router moves it through scan boxes into the mail box or a quarantine in
// PostgreSQL, the SMTP service relays it, and `ls`, `check`, `quarantine`
// and `compact` work on those databases. While PostgreSQL is stopped, the
// tools say which server is out of reach, the router says so once, and
// once it is back the mail flows again.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DataDirTest.h"
#include "ScriptedNextHop.h"
#include "SmtpTestClient.h"
#include "support/PrivatePostgres.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

class PostgresDataDir : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    std::string problem;
    pg_ = testing::SharedPostgres(&problem);
    ASSERT_NE(pg_, nullptr) << problem;
    ASSERT_TRUE(pg_->CreateDatabase(kDatabase));
  }

  // Offers one message over SMTP, a command at a time: 250 when the
  // service took it, else the first reply that refused it.
  static int Offer(int port, const std::string& recipient,
                   const std::string& subject) {
    Client client(port);
    if (!client.connected()) return 0;
    int code = client.Read().code;
    if (code != 220) return code;
    for (const auto& [command, expected] :
         std::vector<std::pair<std::string, int>>{
             {"HELO mta.example.org", 250},
             {"MAIL FROM:<sender@example.org>", 250},
             {"RCPT TO:<" + recipient + ">", 250},
             {"DATA", 354},
             {"Subject: " + subject + "\r\n\r\nHello.\r\n.", 250}}) {
      client.Send(command + "\r\n");
      code = client.Read().code;
      if (code != expected) return code;
    }
    return code;
  }

  // The databases `ls --json` lists, by path, with their documents (-1 for
  // one that could not be read).
  std::map<std::string, int> Listed() const {
    std::map<std::string, int> listed;
    const RunResult r = Vt({"ls", dir(), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const auto& d : nlohmann::json::parse(r.out)) {
      listed[d["path"]] = d.contains("error") ? -1 : d["documents"].get<int>();
    }
    return listed;
  }

  static constexpr char kDatabase[] = "vtown";
  testing::PrivatePostgres* pg_ = nullptr;
};

TEST_F(PostgresDataDir,
       MailFlowsThroughDatabasesInPostgresAndWaitsOutAnOutage) {
  const std::string server = UniqueServerName();
  // An init that fails half-way takes back what it made in PostgreSQL: here
  // the administration database is refused (a trigger stands for any
  // failure), after the mail box and the templates were made.
  const fs::path first = folder() / "first";
  ASSERT_EQ(
      Vt({"init", first.string(), "--databases", pg_->Uri(kDatabase)}).exitCode,
      0);
  fs::remove_all(first);
  std::string output;
  ASSERT_TRUE(pg_->Run(
      kDatabase,
      "DELETE FROM vt_databases;"
      "CREATE FUNCTION no_admin() RETURNS trigger LANGUAGE plpgsql AS $$"
      " BEGIN RAISE EXCEPTION 'no' USING ERRCODE = '53100'; END $$;"
      "CREATE TRIGGER no_admin BEFORE INSERT ON vt_databases FOR EACH ROW"
      " WHEN (NEW.name = 'Veltrane/VeltraneAdmin.nsf')"
      " EXECUTE FUNCTION no_admin()",
      &output))
      << output;
  const RunResult failed = Vt(
      {"init", dir(), "--server", server, "--databases", pg_->Uri(kDatabase)});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("cannot create Veltrane/VeltraneAdmin.nsf"),
            std::string::npos)
      << failed.err;
  EXPECT_EQ(pg_->Sql(kDatabase, "SELECT count(*) FROM vt_databases"), "0\n");
  EXPECT_FALSE(fs::exists(dir()));
  ASSERT_TRUE(
      pg_->Run(kDatabase, "DROP TRIGGER no_admin ON vt_databases", &output));

  const RunResult init = Vt(
      {"init", dir(), "--server", server, "--databases", pg_->Uri(kDatabase)});
  ASSERT_EQ(init.exitCode, 0) << init.err;
  // Nothing but the settings in the data directory; the rest in PostgreSQL.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(dir())) {
    files.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(files, std::vector<std::string>{"server.ini"});
  EXPECT_EQ(Listed()["mail.box"], 0);
  // A second server cannot be made in the same PostgreSQL database.
  const RunResult again = Vt({"init", (folder() / "other").string(),
                              "--databases", pg_->Uri(kDatabase)});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("holds 5 databases already"), std::string::npos)
      << again.err;
  EXPECT_FALSE(fs::exists(folder() / "other"));

  ScriptedNextHop hop;
  BackgroundProcess service;
  const int port = StartSmtpService(
      service, {"--relay", "127.0.0.1:" + std::to_string(hop.port()),
                "--retry-after", "1"});
  ASSERT_GT(port, 0);
  BackgroundProcess router;
  StartRouter(router);

  // Ham goes out; spam waits in its quarantine in PostgreSQL until it is
  // released, then goes out too.
  ASSERT_EQ(Offer(port, "ham@example.com", "ham"), 250);
  ASSERT_TRUE(WaitUntil(
      [&] {
        Vt({"scan", dir(), "--verdict", "M"});
        return hop.CountFor("ham@example.com") == 1;
      },
      30000))
      << ServerLog();
  ASSERT_EQ(Offer(port, "spam@example.com", "spam"), 250);
  ASSERT_TRUE(WaitUntil(
      [&] {
        Vt({"scan", dir(), "--verdict", "C"});
        return Listed()["Veltrane/QuarantineC_1.nsf"] == 1;
      },
      30000))
      << ServerLog();
  const RunResult listed = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const nlohmann::json quarantined = nlohmann::json::parse(listed.out);
  ASSERT_EQ(quarantined.size(), 1u);
  EXPECT_EQ(quarantined[0]["subject"], "spam");
  const RunResult released =
      Vt({"quarantine", dir(), "release", quarantined[0]["unid"]});
  ASSERT_EQ(released.exitCode, 0) << released.err;
  ASSERT_TRUE(
      WaitUntil([&] { return hop.CountFor("spam@example.com") == 1; }, 30000))
      << ServerLog();
  const RunResult checked = Vt({"check", dir()});
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  EXPECT_NE(checked.out.find("mail.box: ok"), std::string::npos);
  const RunResult compacted = Vt({"compact", dir()});
  EXPECT_EQ(compacted.exitCode, 0);
  EXPECT_NE(compacted.out.find(server + ": kept in PostgreSQL"),
            std::string::npos)
      << compacted.out;

  // PostgreSQL stops as in a crash. The tools name the server out of reach;
  // the router says so once, however many passes fail.
  ASSERT_TRUE(pg_->Stop("immediate"));
  EXPECT_EQ(Listed(), (std::map<std::string, int>{{server + "!!", -1}}));
  const RunResult unreached = Vt({"check", dir()});
  EXPECT_EQ(unreached.exitCode, 1);
  EXPECT_NE(unreached.err.find("the databases of " + server +
                               " (Server not responding) could not be checked"),
            std::string::npos)
      << unreached.err;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Logged("VTRouter: Reinitialize error. Server not responding");
      },
      10000))
      << ServerLog();
  // Mail offered meanwhile is deferred (the MTA keeps it), not taken.
  EXPECT_EQ(Offer(port, "late@example.com", "late") / 100, 4);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(ServerLog().find("Reinitialize error. Server not responding"),
            ServerLog().rfind("Reinitialize error. Server not responding"))
      << ServerLog();

  // Back again: the next message goes through.
  ASSERT_TRUE(pg_->Restart());
  ASSERT_TRUE(WaitUntil(
      [&] { return Offer(port, "late@example.com", "late") == 250; }, 30000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        Vt({"scan", dir(), "--verdict", "M"});
        return hop.CountFor("late@example.com") == 1;
      },
      60000))
      << ServerLog();
  EXPECT_EQ(hop.received().size(), 3u);
  EXPECT_EQ(Vt({"check", dir()}).exitCode, 0);
}

}  // namespace
}  // namespace vt::e2e

// `vtserver config`: the configuration document printed, and items set in
// it the way the router reads them, all or none.
#include <chrono>
#include <thread>

#include "DataDirTest.h"
#include "notes/Handles.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::e2e {
namespace {

constexpr char kAdmin[] = "Veltrane/VeltraneAdmin.nsf";

class ConfigCommand : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }

  // `vtserver config DIR --force ASSIGNMENT`: written, with that warning.
  void ExpectWrittenWithWarning(const std::string& assignment,
                                const std::string& warning) {
    const RunResult r = Vt({"config", dir(), "--force", assignment});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("vtserver: warning: " + warning), std::string::npos)
        << r.err;
  }

  StoredMessage Document() const {
    const std::vector<StoredMessage> docs = Messages(kAdmin);
    EXPECT_EQ(docs.size(), 1u);
    return docs.empty() ? StoredMessage() : docs.front();
  }
};

TEST_F(ConfigCommand, StoresEachItemAsTheRouterReadsIt) {
  const RunResult r = Vt({"config", dir(), "--force", "MaxQuarantineSize=100",
                          "ScanningNsf=a.box;b.box", "ConsoleLogLevel=1",
                          "Owners=Ann;Bob", "ReleaseMailMinutes=45"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const StoredMessage doc = Document();
  EXPECT_EQ(doc.types.at("MaxQuarantineSize"), kTypeNumber);
  EXPECT_EQ(doc.Item("MaxQuarantineSize"), "100");
  EXPECT_EQ(doc.types.at("ReleaseMailMinutes"), kTypeNumber);
  EXPECT_EQ(doc.types.at("ScanningNsf"), kTypeTextList);
  EXPECT_EQ(doc.Item("ScanningNsf"), "a.box;b.box");
  EXPECT_EQ(doc.types.at("ConsoleLogLevel"), kTypeText);
  EXPECT_EQ(doc.types.at("Owners"), kTypeTextList);
  EXPECT_EQ(doc.Item("MailboxNsf"), "mail.box");

  const RunResult printed = Vt({"config", dir()});
  ASSERT_EQ(printed.exitCode, 0) << printed.err;
  EXPECT_NE(printed.out.find("\nMaxQuarantineSize = 100\n"), std::string::npos)
      << printed.out;
  EXPECT_NE(printed.out.find("\nReleaseMailMinutes = 45\n"), std::string::npos);
  EXPECT_NE(printed.out.find("\nScanningNsf = a.box;b.box\n"),
            std::string::npos);
}

TEST_F(ConfigCommand, ASingleValueOfAPathListIsStillAList) {
  ASSERT_EQ(Vt({"config", dir(), "MailboxNsf=mail1.box"}).exitCode, 0);
  const StoredMessage doc = Document();
  EXPECT_EQ(doc.types.at("MailboxNsf"), kTypeTextList);
  EXPECT_EQ(doc.Item("MailboxNsf"), "mail1.box");
}

TEST_F(ConfigCommand, AnEmptyValueRemovesTheItem) {
  ASSERT_EQ(Vt({"config", dir(), "ReleaseMailMinutes=30"}).exitCode, 0);
  EXPECT_TRUE(Document().Has("ReleaseMailMinutes"));
  const RunResult r = Vt({"config", dir(), "ReleaseMailMinutes="});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(Document().Has("ReleaseMailMinutes"));
  EXPECT_EQ(Vt({"config", dir()}).out.find("ReleaseMailMinutes"),
            std::string::npos);
}

TEST_F(ConfigCommand, ABadNumberWritesNothing) {
  const auto before = Snapshot();
  for (const char* bad :
       {"MaxQuarantineSize=12abc",
        "AlternateInterceptor=", "maxquarantinesize=x", "ReleaseMailMinutes= 5",
        "ReleaseMailMinutes=nan", "ReleaseMailMinutes=1e999"}) {
    // An empty value removes: only the others are bad numbers.
    if (std::string(bad) == "AlternateInterceptor=") continue;
    const RunResult r = Vt({"config", dir(), "ConsoleLogLevel=1", bad});
    EXPECT_TRUE(IsOneLineError(r)) << bad;
    EXPECT_NE(r.err.find("number"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(Document().Has("ConsoleLogLevel"));
}

TEST_F(ConfigCommand, AMalformedAssignmentWritesNothing) {
  const auto before = Snapshot();
  for (const char* bad : {"NoEqualsSign", "=value", "bad name=1", "a.b=1"}) {
    const RunResult r = Vt({"config", dir(), "ConsoleLogLevel=1", bad});
    EXPECT_TRUE(IsOneLineError(r)) << bad;
  }
  EXPECT_TRUE(IsOneLineError(
      Vt({"config", dir(), "ConsoleLogLevel=1", "consoleloglevel=2"})));
  EXPECT_TRUE(IsOneLineError(Vt({"config", dir(), "MailboxNsf=;"})));
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(ConfigCommand, AnItemTheRouterDoesNotReadNeedsForce) {
  const auto before = Snapshot();
  const RunResult typo = Vt({"config", dir(), "ReleaseMailMinute=15"});
  EXPECT_TRUE(IsOneLineError(typo));
  EXPECT_NE(typo.err.find("did you mean ReleaseMailMinutes?"),
            std::string::npos)
      << typo.err;
  EXPECT_NE(typo.err.find("--force"), std::string::npos) << typo.err;
  EXPECT_EQ(Snapshot(), before);

  // Another task's item: written when asked, with a warning.
  ExpectWrittenWithWarning("SpamScoreCutoff=7",
                           "SpamScoreCutoff is not an item the router reads");
  EXPECT_EQ(Document().Item("SpamScoreCutoff"), "7");
  // Removing a stray item needs no force.
  ASSERT_EQ(Vt({"config", dir(), "SpamScoreCutoff="}).exitCode, 0);
  EXPECT_FALSE(Document().Has("SpamScoreCutoff"));
}

// Every value is either refused with nothing written, or read back by the
// router exactly as given: stats shows the limit the router will use.
TEST_F(ConfigCommand, AValueIsRefusedOrTheRouterTakesItAsGiven) {
  for (const char* size :
       {"-3", "0", "5", "9.99", "10", "10.5", "100", "4075", "4076", "1e12"}) {
    const auto before = Snapshot();
    const RunResult r =
        Vt({"config", dir(), std::string("MaxQuarantineSize=") + size});
    if (r.exitCode != 0) {
      EXPECT_TRUE(IsOneLineError(r)) << size;
      EXPECT_NE(r.err.find("would be read by the router as"), std::string::npos)
          << r.err;
      EXPECT_EQ(Snapshot(), before) << size;
      continue;
    }
    const RunResult metrics = Vt({"stats", dir(), "--prometheus"});
    const uint64_t bytes = static_cast<uint64_t>(std::stod(size)) << 20;
    EXPECT_NE(metrics.out.find("vtrouter_quarantine_limit_bytes{perimeter="
                               "\"B\"} " +
                               std::to_string(bytes) + "\n"),
              std::string::npos)
        << size << "\n"
        << metrics.out;
  }
  EXPECT_EQ(Document().Item("MaxQuarantineSize"), "4075");

  for (const char* bad :
       {"ReleaseMailMinutes=5", "ReleaseMailMinutes=-1",
        "ReleaseMailMinutes=30.5", "AlternateInterceptor=2",
        "MailProcessingOptions=3", "ConsoleLogLevel=yes", "CatBQNsfD=a;b",
        "MailboxNsf=", "MailboxNsf=1;2;3;4;5;6;7;8;9;10;11", "ServerName="}) {
    const auto before = Snapshot();
    EXPECT_TRUE(IsOneLineError(Vt({"config", dir(), bad}))) << bad;
    EXPECT_EQ(Snapshot(), before) << bad;
  }
  // Longer than the router's field: it would refuse the value and not start.
  const auto before = Snapshot();
  EXPECT_TRUE(IsOneLineError(
      Vt({"config", dir(), "CatBQNsfD=" + std::string(260, 'q') + ".nsf"})));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Vt({"config", dir(), "CatBQNsfD=" + std::string(255, 'q') + ".nsf"})
                .exitCode,
            0);
  const RunResult five = Vt({"config", dir(), "ReleaseMailMinutes=5"});
  EXPECT_NE(five.err.find("as 0; it takes 0 (no timed release)"),
            std::string::npos)
      << five.err;
  // Insisted on: written, with what the router will make of it.
  ExpectWrittenWithWarning("MaxQuarantineSize=5",
                           "MaxQuarantineSize=5 would be read by the router "
                           "as 10");
  EXPECT_NE(Vt({"stats", dir(), "--prometheus"})
                .out.find("vtrouter_quarantine_limit_bytes{perimeter=\"B\"} " +
                          std::to_string(10 << 20) + "\n"),
            std::string::npos);
  for (const char* good : {"ReleaseMailMinutes=0", "ReleaseMailMinutes=10",
                           "AlternateInterceptor=1", "MailProcessingOptions=2",
                           "ConsoleLogLevel=0", "releasemailminutes=60"}) {
    EXPECT_EQ(Vt({"config", dir(), good}).exitCode, 0) << good;
  }
}

TEST_F(ConfigCommand, NamesAMissingDocument) {
  const RunResult r = Vt({"config", dir(), "--server", "CN=Other/O=Example"});
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_NE(r.err.find("CN=Other/O=Example"), std::string::npos) << r.err;
}

TEST_F(ConfigCommand, FindsTheDocumentWithoutRegardToCase) {
  const RunResult r = Vt({"config", dir(), "--server", "cn=mail1/o=example"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("ServerName = CN=Mail1/O=Example"), std::string::npos);
}

TEST_F(ConfigCommand, WaitsForAnotherWriterOfTheDocument) {
  // The router holds this lock while it saves the document.
  PosixSystemServices system;
  bool existed = false;
  const MutexHandle lock =
      system.CreateNamedMutex("VeltraneSaveConfig", true, &existed);
  ASSERT_TRUE(lock);
  // Another test's writer may hold it for a moment.
  if (existed) {
    ASSERT_EQ(system.WaitForMutex(lock, 15000), MutexWait::kAcquired);
  }

  BackgroundProcess config;
  ASSERT_TRUE(config.Start(VtServerPath(),
                           {"config", dir(), "ConsoleLogLevel=1"},
                           (folder() / "config.out").string()));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(config.Running());
  EXPECT_FALSE(Document().Has("ConsoleLogLevel"));

  system.ReleaseMutex(lock);
  system.CloseMutex(lock);
  ASSERT_TRUE(config.WaitForExit(10000));
  EXPECT_EQ(config.exitCode(), 0);
  EXPECT_EQ(Document().Item("ConsoleLogLevel"), "1");
}

}  // namespace
}  // namespace vt::e2e

// Reading the configuration document through the real server: the lookup
// under the server's name, every item's default and limit, and the failure
// lines, with faults the server cannot produce injected by a wrapper.
#include <gtest/gtest.h>

#include "config/ServerConfig.h"
#include "support/FakeSystem.h"
#include "support/FaultyNotes.h"
#include "support/RouterWorld.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;
using testing::FaultyNotes;
using testing::Items;
using testing::RouterWorld;

constexpr char kAdmin[] = "Veltrane/VeltraneAdmin.nsf";

class ServerConfigTest : public ::testing::Test {
 protected:
  explicit ServerConfigTest(Items items = {}) : world_(std::move(items)) {}

  std::unique_ptr<ServerConfig> MakeConfig(NotesServices& notes) {
    return std::make_unique<ServerConfig>(notes, system_, "local", kAdmin);
  }
  std::vector<std::string> Log() { return testing::LogTexts(world_.server()); }
  bool Logged(std::string_view text) {
    for (const std::string& line : Log()) {
      if (line == text) return true;
    }
    return false;
  }

  RouterWorld world_;
  FakeMachine machine_;
  FakeSystem system_{machine_};
};

TEST_F(ServerConfigTest, ADocumentWithOnlyMailBoxesGetsEveryDefault) {
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(config->serverName.view(), "CN=Mail1/O=Example");
  EXPECT_EQ(config->mailboxNames, std::vector<std::string>{"mail.box"});
  EXPECT_EQ(config->mailboxServer.view(), "");
  EXPECT_EQ(config->scanningServer.view(), "local");
  EXPECT_EQ(config->scanBoxNames,
            (std::vector<std::string>{"Veltrane\\Scan\\Scan_1.box",
                                      "Veltrane\\Scan\\Scan_2.box"}));
  EXPECT_EQ(config->quarantinePathB.view(), "Veltrane\\QuarantineB_1.nsf");
  EXPECT_EQ(config->quarantinePathC.view(), "Veltrane\\QuarantineC_1.nsf");
  EXPECT_EQ(config->quarantinePathD.view(), "Veltrane\\QuarantineD_1.nsf");
  EXPECT_TRUE(config->quarantineServerB.empty());
  EXPECT_EQ(config->maxQuarantineBytes, 2048u << 20);
  EXPECT_EQ(config->processingMode, 1);
  EXPECT_EQ(config->logLevel, 1);
  EXPECT_EQ(config->releaseMinutes, 0u);
  EXPECT_EQ(config->alternateInterceptor, 0);
  EXPECT_NE(config->configNoteId, 0u);
  EXPECT_TRUE(config->IsOpen());
  EXPECT_TRUE(
      Logged("VTRouter: Reading configuration document for "
             "CN=Mail1/O=Example"));
  EXPECT_TRUE(
      Logged("VTRouter: Missing scanning database names in "
             "configuration document.  Adding defaults."));
}

TEST_F(ServerConfigTest, NumbersAreClampedAsUnsignedValues) {
  struct Case {
    double size;
    uint32_t megabytes;
  };
  // Beyond the 32-bit range a value stays at its nearest end instead of
  // wrapping round: 2^32 would wrap to 0 (then 10 MB), -1e19 likewise.
  for (const Case c :
       {Case{5, 10}, Case{10, 10}, Case{4075, 4075}, Case{4076, 4075},
        Case{-1, 4075}, Case{100.9, 100}, Case{4294967296.0, 4075},
        Case{-1e19, 4075}, Case{1e300, 4075}, Case{-4294967296.0, 4075}}) {
    world_.EditConfig({{"MaxQuarantineSize", c.size}});
    auto config = MakeConfig(world_.server());
    ASSERT_EQ(config->Read().value(), 0);
    EXPECT_EQ(config->maxQuarantineBytes, c.megabytes << 20) << c.size;
  }
  struct Minutes {
    double value;
    uint32_t kept;
  };
  for (const Minutes m :
       {Minutes{9, 0}, Minutes{10, 10}, Minutes{0, 0}, Minutes{1440, 1440},
        Minutes{4294967306.0, 0xFFFFFFFFu}, Minutes{-1e19, 0x80000000u}}) {
    world_.EditConfig({{"ReleaseMailMinutes", m.value}});
    auto config = MakeConfig(world_.server());
    ASSERT_EQ(config->Read().value(), 0);
    EXPECT_EQ(config->releaseMinutes, m.kept) << m.value;
  }
  world_.EditConfig({{"AlternateInterceptor", 65537}});
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(config->alternateInterceptor, 1);  // the low 16 bits
}

TEST_F(ServerConfigTest, TextSwitchesLookAtTheirFirstCharacterOnly) {
  struct Case {
    const char* options;
    const char* level;
    uint16_t mode;
    uint16_t logLevel;
  };
  for (const Case c :
       {Case{"0", "1", 0, 2}, Case{"0 off", "12", 0, 2}, Case{"2", "2", 2, 1},
        Case{"2x", "", 2, 1}, Case{"", "x1", 1, 1}, Case{"1", "0", 1, 1}}) {
    world_.EditConfig(
        {{"MailProcessingOptions", c.options}, {"ConsoleLogLevel", c.level}});
    auto config = MakeConfig(world_.server());
    ASSERT_EQ(config->Read().value(), 0);
    EXPECT_EQ(config->processingMode, c.mode) << c.options;
    EXPECT_EQ(config->logLevel, c.logLevel) << c.level;
  }
  EXPECT_EQ(
      testing::CountLog(world_.server(),
                        "VTRouter: *** Veltrane is currently disabled. ***"),
      2);
}

TEST_F(ServerConfigTest, ListsKeepTenNonEmptyEntriesInDocumentOrder) {
  std::vector<std::string> eleven;
  for (int i = 1; i <= 11; ++i)
    eleven.push_back("mail" + std::to_string(i) + ".box");
  std::vector<std::string> scans = {"", "s1.box", "", "s2.box"};
  world_.EditConfig({{"MailboxNsf", eleven}, {"ScanningNsf", scans}});
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  ASSERT_EQ(config->mailboxNames.size(), 10u);
  EXPECT_EQ(config->mailboxNames.front(), "mail1.box");
  EXPECT_EQ(config->mailboxNames.back(), "mail10.box");
  EXPECT_EQ(config->scanBoxNames,
            (std::vector<std::string>{"s1.box", "s2.box"}));
  EXPECT_EQ(testing::CountLog(world_.server(),
                              "Only ten Mailbox values may be specified"),
            1);
}

TEST_F(ServerConfigTest, MailBoxesThatAreAllEmptyCountAsMissing) {
  world_.EditConfig({{"MailboxNsf", std::vector<std::string>{"", ""}}});
  auto config = MakeConfig(world_.server());
  EXPECT_EQ(config->Read().value(), err::kMissingValue);
  EXPECT_TRUE(
      Logged("VTRouter: Missing Mailbox values in configuration document."));
  // The document is known even so: the change check waits for an edit.
  EXPECT_NE(config->configNoteId, 0u);
}

TEST_F(ServerConfigTest, OneMissingQuarantinePathTakesItsOwnDefaultOnly) {
  world_.EditConfig({{"CatBQNsfD", "q/B_7.nsf"},
                     {"CatCQNsfD", "q/C_3.nsf"},
                     {"CatCQServer", "CN=Mail2/O=Example"}});
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(config->quarantinePathB.view(), "q/B_7.nsf");
  EXPECT_EQ(config->quarantinePathC.view(), "q/C_3.nsf");
  EXPECT_EQ(config->quarantinePathD.view(), "Veltrane\\QuarantineD_1.nsf");
  EXPECT_EQ(config->quarantineServerC.view(), "CN=Mail2/O=Example");
}

TEST_F(ServerConfigTest, ValuesTooLongForTheirFieldsAreRefusedNotCut) {
  // 259 characters is the longest path, 256 the longest server name.
  const std::string path259 = "q/" + std::string(253, 'p') + ".nsf";
  const std::string server256 = "CN=" + std::string(253, 's');
  world_.EditConfig({{"CatBQNsfD", path259}, {"CatBQServer", server256}});
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(config->quarantinePathB.view(), path259);
  EXPECT_EQ(config->quarantineServerB.view(), server256);

  // One character more, and far past every buffer: each item is refused with
  // its own line, the read fails, and the fields keep what they had.
  world_.EditConfig({{"CatBQNsfD", path259 + "x"},
                     {"CatDQNsfD", std::string(5000, 'd')},
                     {"CatCQServer", server256 + "x"},
                     {"MailboxServer", std::string(70000, 'm')},
                     {"ScanningServer", std::string(300, 'n')}});
  EXPECT_EQ(config->Read().value(), err::kBufferTooSmall);
  EXPECT_EQ(config->quarantinePathB.view(), path259);
  EXPECT_EQ(config->quarantinePathD.view(), "Veltrane\\QuarantineD_1.nsf");
  EXPECT_EQ(config->quarantineServerC.view(), "");
  EXPECT_EQ(config->mailboxServer.view(), "");
  EXPECT_EQ(config->scanningServer.view(), "local");
  for (const char* item : {"CatBQNsfD", "CatDQNsfD", "CatCQServer",
                           "MailboxServer", "ScanningServer"}) {
    EXPECT_EQ(testing::CountLog(world_.server(),
                                std::string("VTRouter: Configuration value ") +
                                    item + " is too long"),
              1)
        << item;
  }
  EXPECT_TRUE(
      Logged("VTRouter: Configuration value CatBQNsfD is too long (at most 259 "
             "characters). Buffer is too small"))
      << testing::LogTexts(world_.server()).back();
}

TEST_F(ServerConfigTest, NoDocumentForTheServerIsReportedAnd263Returned) {
  world_.EditConfig({{"ServerName", "CN=Other/O=Example"}});
  auto config = MakeConfig(world_.server());
  EXPECT_EQ(config->Read().value(), err::kMissingValue);
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "VTRouter: Reading configuration document for CN=Mail1/O=Example");
  EXPECT_EQ(log.back(),
            "VTRouter: Unable to read configuration view 'AdminServerConfig'.");
}

TEST_F(ServerConfigTest, TheFirstOfTwoDocumentsForOneServerIsRead) {
  const uint32_t second = testing::AddDocument(
      world_.server(), kAdmin,
      {{"Form", "ServerConfig"},
       {"ServerName", "cn=mail1/o=example"},
       {"MailboxNsf", std::vector<std::string>{"second.box"}}});
  auto config = MakeConfig(world_.server());
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(config->configNoteId, world_.configNoteId());
  EXPECT_NE(config->configNoteId, second);
  EXPECT_EQ(config->mailboxNames, std::vector<std::string>{"mail.box"});
}

TEST_F(ServerConfigTest, ASecondReadReusesTheOpenAdministrationDatabase) {
  FaultyNotes notes(world_.server());
  auto config = MakeConfig(notes);
  ASSERT_EQ(config->Read().value(), 0);
  ASSERT_EQ(config->Read().value(), 0);
  EXPECT_EQ(notes.Calls(NotesOp::kOpenDatabase), 1);
  config.reset();
  EXPECT_EQ(notes.openDatabases(), 0);
  EXPECT_EQ(notes.openNotes(), 0);
  EXPECT_EQ(notes.collections(), 0);
}

TEST_F(ServerConfigTest, AMissingAdministrationDatabaseNamesItsLocation) {
  auto config = std::make_unique<ServerConfig>(
      world_.server(), system_, "local", "\\Veltrane\\Missing.nsf");
  EXPECT_EQ(config->Read().value(), err::kFileNotFound);
  EXPECT_TRUE(
      Logged("VTRouter: Unable to open database local "
             "\\Veltrane\\Missing.nsf. File does not exist"));
  EXPECT_TRUE(
      Logged("VTRouter: Error opening administration nsf:  "
             "local:\\Veltrane\\Missing.nsf: File does not exist"));
}

// Each failure of the lookup, with its lines and its result.
TEST_F(ServerConfigTest, LookupFailuresAreReportedWhereTheyArise) {
  struct Case {
    NotesOp op;
    Status status;
    std::vector<std::string> lines;  // each must be a prefix of a log line
    uint16_t result;                 // 0xFFFF: reading succeeds
  };
  const std::vector<Case> cases = {
      {NotesOp::kGetServerIdName,
       err::kMissingValue,
       {"VTRouter: Unable to get user name from ID file."},
       err::kMissingValue},
      {NotesOp::kFindDesignNote,
       err::kNotFound,
       {"VTRouter: Unable to find view: AdminServerConfig. ",
        "VTRouter: Error opening server configuration view "
        "'AdminServerConfig'."},
       err::kNotFound},
      {NotesOp::kOpenCollection,
       Status(0x8000 | err::kCorruptDatabase),
       {"VTRouter: Unable to open view: AdminServerConfig. ",
        "VTRouter: Error opening server configuration view "
        "'AdminServerConfig'."},
       err::kCorruptDatabase},
      {NotesOp::kUpdateCollection,
       err::kDiskError,
       {"VTRouter: Error refreshing Server Configuration view "
        "'AdminServerConfig'."},
       0xFFFF},
      {NotesOp::kFindByName,
       err::kDiskError,
       {"VTRouter: Error searching for configuration document "
        "(Veltrane/VeltraneAdmin.nsf)"},
       err::kDiskError},
      {NotesOp::kReadEntries,
       err::kNoMemory,
       {"VTRouter: Unable to read configuration view 'AdminServerConfig'."},
       err::kNoMemory},
      {NotesOp::kOpenNote,
       err::kInvalidNote,
       {"VTRouter: Unable to open configuration document for "
        "CN=Mail1/O=Example"},
       err::kInvalidNote},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(NotesOpName(c.op));
    FaultyNotes notes(world_.server());
    notes.FailCall(c.op, 1, c.status);
    auto config = MakeConfig(notes);
    const Status result = config->Read();
    if (c.result == 0xFFFF) {
      EXPECT_TRUE(result.ok());
    } else {
      EXPECT_EQ(result.code(), c.result);
    }
    const std::vector<std::string> log = Log();
    for (const std::string& line : c.lines) {
      bool found = false;
      for (const std::string& l : log) found = found || l.rfind(line, 0) == 0;
      EXPECT_TRUE(found) << line;
    }
    config.reset();
    EXPECT_EQ(notes.collections(), 0);
    EXPECT_EQ(notes.openNotes(), 0);
    EXPECT_EQ(notes.memoryBlocks(), 0);
  }
}

}  // namespace
}  // namespace vt

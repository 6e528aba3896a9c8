// `vtserver init`: a complete data directory, or nothing at all.
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

using InitCommand = DataDirTest;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(InitCommand, MakesServerIniMailBoxTemplatesAndAdministration) {
  const RunResult r = Vt({"init", dir()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(ReadFile(fs::path(dir()) / "server.ini")
                .find("\nServerName=CN=Mail1/O=Example\n"),
            std::string::npos);

  const RunResult ls = Vt({"ls", dir(), "--json"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  std::map<std::string, std::pair<std::string, double>> found;
  for (const nlohmann::json& db : nlohmann::json::parse(ls.out)) {
    found[db["path"]] = {db["title"], db["documents"]};
  }
  const std::map<std::string, std::pair<std::string, double>> expected = {
      {"Veltrane/VeltraneAdmin.nsf", {"Veltrane Administration", 1}},
      {"Veltrane/quarantine.ntf", {"Veltrane Quarantine Template", 0}},
      {"Veltrane/quarantineadmin.ntf",
       {"Veltrane Quarantine Administration Template", 0}},
      {"Veltrane/scan.ntf", {"Veltrane Scan Box Template", 0}},
      {"mail.box", {"Mail Router Mailbox", 0}},
  };
  EXPECT_EQ(found, expected);
}

TEST_F(InitCommand, GivesTheServerItsConfigurationDocument) {
  Init("CN=Relay/O=Acme");
  const RunResult r = Vt({"config", dir()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "Form = ServerConfig\n"
            "ServerName = CN=Relay/O=Acme\n"
            "MailboxNsf = mail.box\n");
}

TEST_F(InitCommand, MakesAsManyMailBoxesAsAsked) {
  EXPECT_TRUE(IsOneLineError(Vt({"init", dir(), "--mailboxes", "11"})));
  EXPECT_FALSE(fs::exists(dir()));
  Init("CN=Relay/O=Acme", 3);
  const RunResult r = Vt({"config", dir()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("MailboxNsf = mail.box;mail2.box;mail3.box\n"),
            std::string::npos)
      << r.out;
  for (const char* box : {"mail.box", "mail2.box", "mail3.box"}) {
    EXPECT_EQ(Vt({"ls", dir(), box}).exitCode, 0) << box;
  }
}

TEST_F(InitCommand, RefusesADirectoryThatHoldsServerIniAndChangesNothing) {
  Init("CN=Mail1/O=Example");
  const auto before = Snapshot();
  const RunResult again = Vt({"init", dir(), "--server", "CN=Other/O=Example"});
  EXPECT_TRUE(IsOneLineError(again));
  EXPECT_NE(again.err.find("server.ini"), std::string::npos) << again.err;
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(InitCommand, RefusesADirectoryWithAnythingInIt) {
  fs::create_directory(dir());
  std::ofstream(fs::path(dir()) / "notes.txt") << "mine";
  const auto before = Snapshot();
  EXPECT_TRUE(IsOneLineError(Vt({"init", dir()})));
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(InitCommand, FillsAnEmptyDirectory) {
  fs::create_directory(dir());
  const RunResult r = Vt({"init", dir()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(fs::path(dir()) / "Veltrane" / "VeltraneAdmin.nsf"));
}

TEST_F(InitCommand, RefusesAMissingParentWithoutMakingAnything) {
  const auto before = Snapshot();
  EXPECT_TRUE(IsOneLineError(
      Vt({"init", (folder() / "no" / "such" / "data").string()})));
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(InitCommand, RefusesServerNamesServerIniCannotHold) {
  const auto before = Snapshot();
  EXPECT_TRUE(IsOneLineError(Vt({"init", dir(), "--server", ""})));
  EXPECT_TRUE(IsOneLineError(Vt({"init", dir(), "--server", "CN=A\nB"})));
  EXPECT_TRUE(IsOneLineError(Vt({"init", dir(), "--server", "CN=A ;x"})));
  EXPECT_TRUE(
      IsOneLineError(Vt({"init", dir(), "--server", std::string(200, 'x')})));
  EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace vt::e2e

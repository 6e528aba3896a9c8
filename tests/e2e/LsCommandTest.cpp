// `vtserver ls`: databases and documents as a person or a script reads them,
// with JSON that stays valid whatever bytes an item holds.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

class LsCommand : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }

  // The output parsed strictly: invalid UTF-8 or a raw control byte in a
  // string fails the test.
  nlohmann::json Json(const std::vector<std::string>& arguments) {
    const RunResult r = Vt(arguments);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json json = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << "not JSON: " << r.out;
    return json;
  }
};

TEST_F(LsCommand, ListsDatabasesSortedByPathAsJson) {
  ASSERT_EQ(Vt({"send", dir(), "--count", "2"}).exitCode, 0);
  const nlohmann::json json = Json({"ls", dir(), "--json"});
  ASSERT_TRUE(json.is_array());
  std::vector<std::string> paths;
  for (const nlohmann::json& db : json) {
    ASSERT_TRUE(db.is_object());
    ASSERT_TRUE(db.contains("title"));
    ASSERT_TRUE(db["documents"].is_number());
    paths.push_back(db["path"]);
    if (paths.back() == "mail.box") {
      EXPECT_EQ(db["documents"], 2);
    }
  }
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  EXPECT_EQ(paths.size(), 5u);
}

TEST_F(LsCommand, ListsDocumentsWithTheirRoutingItemsAsJson) {
  const RunResult sent = Vt({"send", dir(), "--hold", "--subject", "Hi"});
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  const nlohmann::json json = Json({"ls", dir(), "mail.box", "--json"});
  ASSERT_EQ(json.size(), 1u);
  const nlohmann::json& doc = json.front();
  ASSERT_TRUE(doc["noteId"].is_number_unsigned());
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", doc["noteId"].get<unsigned>());
  EXPECT_EQ(sent.out, std::string(hex) + "\n");
  const nlohmann::json& items = doc["items"];
  EXPECT_EQ(items["Subject"], "Hi");
  EXPECT_EQ(items["RoutingState"], "HOLD");
  EXPECT_EQ(items["VeltraneProcess"], "1");
  EXPECT_TRUE(items.contains("VTMessageId"));
  // Only the items the document has.
  EXPECT_FALSE(items.contains("VeltraneVerified"));
  EXPECT_FALSE(items.contains("Kesto_Router"));
  EXPECT_FALSE(items.contains("Body"));
}

TEST_F(LsCommand, KeepsJsonValidForAnyBytes) {
  const std::string subject =
      "a \"quoted\" back\\slash\ttab \x01\x1f del\x7f "
      "caf\xc3\xa9 bad\xff\xfe end";
  ASSERT_EQ(Vt({"send", dir(), "--subject", subject}).exitCode, 0);
  const nlohmann::json json = Json({"ls", dir(), "mail.box", "--json"});
  ASSERT_EQ(json.size(), 1u);
  // Bytes that are no UTF-8 read as their Latin-1 characters.
  EXPECT_EQ(json.front()["items"]["Subject"],
            "a \"quoted\" back\\slash\ttab \x01\x1f del\x7f "
            "caf\xc3\xa9 bad\xc3\xbf\xc3\xbe end");
}

TEST_F(LsCommand, ShowsTextListsAsArrays) {
  ASSERT_EQ(Vt({"config", dir(), "--force", "Subject=one;two"}).exitCode, 0);
  const nlohmann::json json =
      Json({"ls", dir(), "Veltrane/VeltraneAdmin.nsf", "--json"});
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json.front()["items"]["Subject"],
            nlohmann::json::array({"one", "two"}));
}

TEST_F(LsCommand, PrintsATableForPeople) {
  const RunResult dbs = Vt({"ls", dir()});
  ASSERT_EQ(dbs.exitCode, 0) << dbs.err;
  EXPECT_EQ(dbs.out.rfind("PATH", 0), 0u) << dbs.out;
  EXPECT_NE(dbs.out.find("mail.box"), std::string::npos);
  EXPECT_NE(dbs.out.find("Mail Router Mailbox"), std::string::npos);

  EXPECT_EQ(Vt({"ls", dir(), "mail.box"}).out, "no documents\n");
  const RunResult sent = Vt({"send", dir()});
  const RunResult docs = Vt({"ls", dir(), "mail.box"});
  ASSERT_EQ(docs.exitCode, 0) << docs.err;
  EXPECT_EQ(docs.out.rfind(sent.out.substr(0, sent.out.size() - 1), 0), 0u)
      << docs.out;
  EXPECT_NE(docs.out.find("Subject=\"Test message 1\""), std::string::npos);
}

TEST_F(LsCommand, EmptyDatabaseGivesAnEmptyArray) {
  const nlohmann::json json = Json({"ls", dir(), "mail.box", "--json"});
  EXPECT_TRUE(json.is_array());
  EXPECT_TRUE(json.empty());
}

}  // namespace
}  // namespace vt::e2e

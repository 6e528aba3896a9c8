// `vtserver ls`: databases and documents as a person or a script reads them,
// with JSON that stays valid whatever bytes an item holds.
#include <algorithm>
#include <cstdio>

#include "DataDirTest.h"
#include "MiniJson.h"

namespace vt::e2e {
namespace {

class LsCommand : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }

  JsonValue Json(const std::vector<std::string>& arguments) {
    const RunResult r = Vt(arguments);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto json = ParseJson(r.out);
    EXPECT_TRUE(json) << "not JSON: " << r.out;
    return json.value_or(JsonValue());
  }
};

TEST_F(LsCommand, ListsDatabasesSortedByPathAsJson) {
  ASSERT_EQ(Vt({"send", dir(), "--count", "2"}).exitCode, 0);
  const JsonValue json = Json({"ls", dir(), "--json"});
  ASSERT_EQ(json.kind, JsonValue::Kind::kArray);
  std::vector<std::string> paths;
  for (const JsonValue& db : json.array) {
    ASSERT_EQ(db.kind, JsonValue::Kind::kObject);
    ASSERT_NE(db.Find("path"), nullptr);
    ASSERT_NE(db.Find("title"), nullptr);
    ASSERT_NE(db.Find("documents"), nullptr);
    EXPECT_EQ(db.Find("documents")->kind, JsonValue::Kind::kNumber);
    paths.push_back(db.Find("path")->text);
    if (paths.back() == "mail.box") {
      EXPECT_EQ(db.Find("documents")->number, 2);
    }
  }
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  EXPECT_EQ(paths.size(), 5u);
}

TEST_F(LsCommand, ListsDocumentsWithTheirRoutingItemsAsJson) {
  const RunResult sent = Vt({"send", dir(), "--hold", "--subject", "Hi"});
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  const JsonValue json = Json({"ls", dir(), "mail.box", "--json"});
  ASSERT_EQ(json.array.size(), 1u);
  const JsonValue& doc = json.array.front();
  ASSERT_EQ(doc.Find("noteId")->kind, JsonValue::Kind::kNumber);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X",
                static_cast<unsigned>(doc.Find("noteId")->number));
  EXPECT_EQ(sent.out, std::string(hex) + "\n");
  const JsonValue* items = doc.Find("items");
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->Find("Subject")->text, "Hi");
  EXPECT_EQ(items->Find("RoutingState")->text, "HOLD");
  EXPECT_EQ(items->Find("VeltraneProcess")->text, "1");
  EXPECT_NE(items->Find("VTMessageId"), nullptr);
  // Only the items the document has.
  EXPECT_EQ(items->Find("VeltraneVerified"), nullptr);
  EXPECT_EQ(items->Find("Kesto_Router"), nullptr);
  EXPECT_EQ(items->Find("Body"), nullptr);
}

TEST_F(LsCommand, KeepsJsonValidForAnyBytes) {
  const std::string subject =
      "a \"quoted\" back\\slash\ttab \x01\x1f del\x7f "
      "caf\xc3\xa9 bad\xff\xfe end";
  ASSERT_EQ(Vt({"send", dir(), "--subject", subject}).exitCode, 0);
  const JsonValue json = Json({"ls", dir(), "mail.box", "--json"});
  ASSERT_EQ(json.array.size(), 1u);
  const JsonValue* got = json.array.front().Find("items")->Find("Subject");
  ASSERT_NE(got, nullptr);
  // Bytes that are no UTF-8 read as their Latin-1 characters.
  EXPECT_EQ(got->text,
            "a \"quoted\" back\\slash\ttab \x01\x1f del\x7f "
            "caf\xc3\xa9 bad\xc3\xbf\xc3\xbe end");
}

TEST_F(LsCommand, ShowsTextListsAsArrays) {
  ASSERT_EQ(Vt({"config", dir(), "Subject=one;two"}).exitCode, 0);
  const JsonValue json =
      Json({"ls", dir(), "Veltrane/VeltraneAdmin.nsf", "--json"});
  ASSERT_EQ(json.array.size(), 1u);
  const JsonValue* subject = json.array.front().Find("items")->Find("Subject");
  ASSERT_NE(subject, nullptr);
  ASSERT_EQ(subject->kind, JsonValue::Kind::kArray);
  ASSERT_EQ(subject->array.size(), 2u);
  EXPECT_EQ(subject->array[0].text, "one");
  EXPECT_EQ(subject->array[1].text, "two");
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
  const JsonValue json = Json({"ls", dir(), "mail.box", "--json"});
  EXPECT_EQ(json.kind, JsonValue::Kind::kArray);
  EXPECT_TRUE(json.array.empty());
}

}  // namespace
}  // namespace vt::e2e

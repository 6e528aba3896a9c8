// Building the router's world in a temporary data directory.
#include "support/RouterWorld.h"

#include <gtest/gtest.h>

#include <cstring>

#include "databases/DefaultView.h"
#include "databases/RouterItems.h"
#include "datadir/ConfigView.h"
#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"

namespace vt::testing {
namespace {

Status CountDocument(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) != 0) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(match.noteId);
  }
  return Status();
}

}  // namespace

void SetItems(NotesServices& notes, NoteHandle note, const Items& items) {
  for (const auto& [name, value] : items) {
    notes.DeleteItem(note, name.c_str(), static_cast<uint16_t>(name.size()))
        .IgnoreError();
    std::vector<uint8_t> bytes;
    uint16_t type = kTypeText;
    switch (value.kind) {
      case ItemValue::Kind::kText:
        bytes = item::EncodeText(value.text);
        break;
      case ItemValue::Kind::kList:
        bytes = item::EncodeTextList(value.list);
        type = kTypeTextList;
        break;
      case ItemValue::Kind::kNumber:
        bytes = item::EncodeNumber(value.number);
        type = kTypeNumber;
        break;
    }
    ASSERT_TRUE(notes
                    .AppendItem(note, kItemFlagSummary, name.c_str(),
                                static_cast<uint16_t>(name.size()), type,
                                bytes.data(),
                                static_cast<uint32_t>(bytes.size()))
                    .ok());
  }
}

void CreateDatabaseAt(NotesServices& notes, const std::string& path) {
  ASSERT_TRUE(notes.CreateDatabase(path.c_str(), kDatabaseClass, false).ok())
      << path;
}

uint32_t AddDocument(LocalNotesServices& server, const std::string& dbPath,
                     const Items& items, int64_t createdCentis) {
  DbHandle db;
  EXPECT_TRUE(server.OpenDatabase(dbPath.c_str(), &db).ok()) << dbPath;
  NoteHandle note;
  EXPECT_TRUE(server.CreateNote(db, &note).ok());
  SetItems(server, note, items);
  store::NoteRecord* record = LocalStoreAccess::Note(server, note);
  if (record == nullptr) return 0;
  if (createdCentis != 0) record->created = createdCentis;
  EXPECT_TRUE(server.UpdateNote(note, 0).ok());
  const uint32_t id = record->id;
  server.CloseNote(note).IgnoreError();
  server.CloseDatabase(db).IgnoreError();
  return id;
}

std::vector<uint32_t> DocumentIds(LocalNotesServices& server,
                                  const std::string& dbPath) {
  std::vector<uint32_t> ids;
  DbHandle db;
  if (!server.OpenDatabase(dbPath.c_str(), &db).ok()) return ids;
  EXPECT_TRUE(server
                  .SearchDatabase(db, MemHandle(), nullptr, 0,
                                  kNoteClassDocument, nullptr, &CountDocument,
                                  &ids, nullptr)
                  .ok());
  server.CloseDatabase(db).IgnoreError();
  return ids;
}

std::string TextItem(NotesServices& notes, const std::string& dbPath,
                     uint32_t noteId, const char* item) {
  DbHandle db;
  if (!notes.OpenDatabase(dbPath.c_str(), &db).ok()) return "";
  NoteHandle note;
  std::string text;
  if (notes.OpenNote(db, noteId, 0, &note).ok()) {
    char buffer[1024];
    const uint16_t n = notes.GetTextItem(note, item, buffer);
    text.assign(buffer, n);
    notes.CloseNote(note).IgnoreError();
  }
  notes.CloseDatabase(db).IgnoreError();
  return text;
}

std::vector<std::string> ItemValues(LocalNotesServices& server,
                                    const std::string& dbPath,
                                    const char* item) {
  std::vector<std::string> values;
  for (uint32_t id : DocumentIds(server, dbPath)) {
    values.push_back(TextItem(server, dbPath, id, item));
  }
  return values;
}

void CreateConfigView(NotesServices& notes, DbHandle admin) {
  ASSERT_TRUE(tool::CreateConfigView(notes, admin).ok());
}

void CreateTemplate(NotesServices& notes, const std::string& path,
                    const char* title) {
  CreateDatabaseAt(notes, path);
  DbHandle db;
  ASSERT_TRUE(notes.OpenDatabase(path.c_str(), &db).ok());
  ASSERT_TRUE(CreateDefaultView(notes, db).ok());
  DbInfo info{};
  ASSERT_TRUE(notes.GetDatabaseInfo(db, info).ok());
  notes.SetDatabaseInfoField(info, kDbInfoFieldTitle, title);
  ASSERT_TRUE(notes.SetDatabaseInfo(db, info).ok());
  notes.CloseDatabase(db).IgnoreError();
}

RouterWorld::RouterWorld(Items configItems, std::string_view extraIni)
    : dir_(TempDataDir::kDefaultServer, extraIni) {
  server_ = dir_.MakeServer(&clock_);
  if (!server_) return;
  NotesServices& notes = *server_;
  CreateDatabaseAt(notes, "mail.box");
  CreateTemplate(notes, "Veltrane/scan.ntf", "Scan Box Template");
  CreateTemplate(notes, "Veltrane/quarantine.ntf", "Quarantine Template");
  CreateTemplate(notes, "Veltrane/quarantineadmin.ntf",
                 "Quarantine Admin Template");
  CreateDatabaseAt(notes, kAdminPath);
  DbHandle admin;
  EXPECT_TRUE(notes.OpenDatabase(kAdminPath, &admin).ok());
  CreateConfigView(notes, admin);
  notes.CloseDatabase(admin).IgnoreError();

  configItems.emplace("Form", "ServerConfig");
  configItems.emplace("ServerName", std::string(TempDataDir::kDefaultServer));
  configItems.emplace("MailboxNsf", std::vector<std::string>{"mail.box"});
  configNoteId_ = AddDocument(*server_, kAdminPath, configItems);
}

void RouterWorld::EditConfig(const Items& items,
                             const std::vector<std::string>& remove) {
  NotesServices& notes = *server_;
  DbHandle admin;
  ASSERT_TRUE(notes.OpenDatabase(kAdminPath, &admin).ok());
  NoteHandle note;
  ASSERT_TRUE(notes.OpenNote(admin, configNoteId_, 0, &note).ok());
  SetItems(notes, note, items);
  for (const std::string& name : remove) {
    notes.DeleteItem(note, name.c_str(), static_cast<uint16_t>(name.size()))
        .IgnoreError();
  }
  ASSERT_TRUE(notes.UpdateNote(note, 0).ok());
  notes.CloseNote(note).IgnoreError();
  notes.CloseDatabase(admin).IgnoreError();
}

}  // namespace vt::testing

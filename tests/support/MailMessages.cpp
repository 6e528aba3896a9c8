// Depositing, marking and finding mail messages by their own identifier.
#include "support/MailMessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "databases/RouterItems.h"

namespace vt::testing {
namespace {

constexpr const char* kIdItem = kMessageIdItem;

}  // namespace

Items MemoItems(const std::string& id, const Items& extra) {
  Items items{{"Form", "Memo"},
              {"Subject", "Message " + id},
              {kIdItem, id},
              {kItemVeltraneProcess, "1"}};
  for (const auto& [name, value] : extra) {
    items.insert_or_assign(name, value);
  }
  return items;
}

uint32_t DepositMessage(LocalNotesServices& server, const std::string& db,
                        const std::string& id, const Items& extra,
                        int64_t createdCentis) {
  return AddDocument(server, db, MemoItems(id, extra), createdCentis);
}

uint32_t FindMessage(LocalNotesServices& server, const std::string& db,
                     const std::string& id) {
  for (const uint32_t noteId : DocumentIds(server, db)) {
    if (TextItem(server, db, noteId, kIdItem) == id) return noteId;
  }
  return 0;
}

bool SetMessageItems(LocalNotesServices& server, const std::string& db,
                     const std::string& id, const Items& items) {
  const uint32_t noteId = FindMessage(server, db, id);
  if (noteId == 0) return false;
  DbHandle handle;
  if (!server.OpenDatabase(db.c_str(), &handle).ok()) return false;
  NoteHandle note;
  bool done = false;
  if (server.OpenNote(handle, noteId, 0, &note).ok()) {
    SetItems(server, note, items);
    done = server.UpdateNote(note, 0).ok();
    server.CloseNote(note).IgnoreError();
  }
  server.CloseDatabase(handle).IgnoreError();
  return done;
}

bool GiveVerdict(LocalNotesServices& server, const std::string& db,
                 const std::string& id, const std::string& route) {
  return SetMessageItems(
      server, db, id,
      {{kItemVeltraneVerified, "1"}, {kItemKestoRouter, route}});
}

std::string MessageItem(LocalNotesServices& server, const std::string& db,
                        const std::string& id, const char* item) {
  const uint32_t noteId = FindMessage(server, db, id);
  return noteId == 0 ? "" : TextItem(server, db, noteId, item);
}

bool MessageHasItem(LocalNotesServices& server, const std::string& db,
                    const std::string& id, const char* item) {
  const uint32_t noteId = FindMessage(server, db, id);
  if (noteId == 0) return false;
  DbHandle handle;
  if (!server.OpenDatabase(db.c_str(), &handle).ok()) return false;
  NoteHandle note;
  bool has = false;
  if (server.OpenNote(handle, noteId, 0, &note).ok()) {
    has = server
              .GetItemInfo(note, item, static_cast<uint16_t>(std::strlen(item)),
                           nullptr, nullptr, nullptr, nullptr)
              .ok();
    server.CloseNote(note).IgnoreError();
  }
  server.CloseDatabase(handle).IgnoreError();
  return has;
}

std::vector<MessageCopy> Survey(LocalNotesServices& server,
                                const std::vector<std::string>& dbs,
                                const std::vector<std::string>& items) {
  std::vector<MessageCopy> copies;
  char buffer[1024];
  for (const std::string& db : dbs) {
    const std::vector<uint32_t> ids = DocumentIds(server, db);
    if (ids.empty()) continue;
    DbHandle handle;
    if (!server.OpenDatabase(db.c_str(), &handle).ok()) continue;
    for (const uint32_t noteId : ids) {
      NoteHandle note;
      if (!server.OpenNote(handle, noteId, 0, &note).ok()) {
        ADD_FAILURE() << "cannot open note " << noteId << " of " << db;
        continue;
      }
      MessageCopy copy;
      copy.db = db;
      copy.noteId = noteId;
      copy.id.assign(buffer, server.GetTextItem(note, kIdItem, buffer));
      for (const std::string& item : items) {
        copy.items[item].assign(buffer,
                                server.GetTextItem(note, item.c_str(), buffer));
      }
      server.CloseNote(note).IgnoreError();
      if (!copy.id.empty()) copies.push_back(std::move(copy));
    }
    server.CloseDatabase(handle).IgnoreError();
  }
  return copies;
}

Census CensusOf(const std::vector<MessageCopy>& survey) {
  Census census;
  for (const MessageCopy& copy : survey) census[copy.id].push_back(copy.db);
  return census;
}

Census TakeCensus(LocalNotesServices& server,
                  const std::vector<std::string>& dbs) {
  return CensusOf(Survey(server, dbs));
}

std::string MisplacedMessages(const Census& census,
                              const std::vector<std::string>& ids) {
  std::ostringstream out;
  for (const std::string& id : ids) {
    auto it = census.find(id);
    if (it != census.end() && it->second.size() == 1) continue;
    out << id << ": [";
    if (it != census.end()) {
      for (size_t i = 0; i < it->second.size(); ++i) {
        out << (i ? ", " : "") << it->second[i];
      }
    }
    out << "]\n";
  }
  return out.str();
}

}  // namespace vt::testing

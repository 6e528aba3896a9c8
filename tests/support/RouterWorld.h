// A data directory set up the way the router expects to find one: mail
// boxes, the three templates, and the administration database with its
// "AdminServerConfig" view and a configuration document for the server. The
// helpers also read back where messages are, so that tests can check that a
// message is in exactly one database.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/LocalNotesServices.h"
#include "support/FakeClock.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"

namespace vt::testing {

inline constexpr char kAdminPath[] = "Veltrane/VeltraneAdmin.nsf";

// Item values for documents: text, text list or number.
struct ItemValue {
  enum class Kind { kText, kList, kNumber } kind = Kind::kText;
  std::string text;
  std::vector<std::string> list;
  double number = 0;

  ItemValue(const char* t) : text(t) {}             // NOLINT: implicit
  ItemValue(std::string t) : text(std::move(t)) {}  // NOLINT: implicit
  ItemValue(std::vector<std::string> l)             // NOLINT: implicit
      : kind(Kind::kList), list(std::move(l)) {}
  ItemValue(double n) : kind(Kind::kNumber), number(n) {}  // NOLINT: implicit
  ItemValue(int n) : kind(Kind::kNumber), number(n) {}     // NOLINT: implicit
};
using Items = std::map<std::string, ItemValue>;

// Sets the items on an open note (text items are summary items).
void SetItems(NotesServices& notes, NoteHandle note, const Items& items);

// Creates a database at path (folders included); asserts success.
void CreateDatabaseAt(NotesServices& notes, const std::string& path);
// Adds a document; returns its note ID (0 on failure, with a test failure).
uint32_t AddDocument(LocalNotesServices& server, const std::string& dbPath,
                     const Items& items, int64_t createdCentis = 0);
// The note IDs of the documents in a database.
std::vector<uint32_t> DocumentIds(LocalNotesServices& server,
                                  const std::string& dbPath);
// A text item of a document, "" when absent.
std::string TextItem(NotesServices& notes, const std::string& dbPath,
                     uint32_t noteId, const char* item);
// Every document's value of item (e.g. a message's own identifier).
std::vector<std::string> ItemValues(LocalNotesServices& server,
                                    const std::string& dbPath,
                                    const char* item);

// Gives the administration database its "AdminServerConfig" view.
void CreateConfigView(NotesServices& notes, DbHandle admin);
// Creates a template database with the "Default" view and a title.
void CreateTemplate(NotesServices& notes, const std::string& path,
                    const char* title);

// The whole world: server over a temporary directory with a fake clock,
// mail.box, templates, and the configuration document with configItems
// (ServerName and Form are added; MailboxNsf defaults to "mail.box").
class RouterWorld {
 public:
  explicit RouterWorld(Items configItems = {}, std::string_view extraIni = {});

  LocalNotesServices& server() { return *server_; }
  FakeClock& clock() { return clock_; }
  TempDataDir& dir() { return dir_; }
  uint32_t configNoteId() const { return configNoteId_; }
  // Changes items of the configuration document in one update.
  void EditConfig(const Items& items,
                  const std::vector<std::string>& remove = {});

 private:
  TempDataDir dir_;
  FakeClock clock_;
  std::unique_ptr<LocalNotesServices> server_;
  uint32_t configNoteId_ = 0;
};

}  // namespace vt::testing

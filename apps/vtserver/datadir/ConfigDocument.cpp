// Looking up the configuration document through its view.
#include "datadir/ConfigDocument.h"

#include <array>
#include <cstring>

#include "config/ServerConfig.h"
#include "databases/DatabaseName.h"
#include "datadir/DataDir.h"
#include "datadir/MailItems.h"
#include "datadir/RouterSettings.h"

namespace vt::tool {
namespace {

constexpr uint16_t kFindCaseInsensitive = 2;
constexpr uint16_t kNavigateNext = 1;
constexpr uint32_t kReturnNoteIds = 1;
constexpr size_t kListEntryBuffer = 500;

}  // namespace

Status FindConfigNote(NotesServices& notes, DbHandle admin,
                      const std::string& serverName, uint32_t* noteId) {
  *noteId = 0;
  uint32_t viewNoteId = 0;
  Status s = notes.FindDesignNote(admin, kConfigViewName, kNoteClassView,
                                  kDesignFlagPattern, &viewNoteId, 0);
  if (!s.ok()) return s;
  Collection collection(notes);
  s = collection.Open(admin, viewNoteId);
  if (!s.ok()) return s;
  CollectionPosition position;
  uint32_t matches = 0;
  s = notes.FindByName(collection.handle(), serverName.c_str(),
                       kFindCaseInsensitive, &position, &matches);
  if (!s.ok()) return s.Masked();
  if (matches == 0) return err::kNotFound;
  ReturnedMemory ids(notes);
  uint16_t length = 0;
  uint32_t returned = 0;
  s = notes.ReadEntries(collection.handle(), &position, 0, 0, kNavigateNext,
                        matches, kReturnNoteIds, ids.place(), &length, nullptr,
                        &returned, nullptr);
  if (!s.ok()) return s;
  if (!ids.handle() || returned == 0 || length < sizeof(uint32_t)) {
    return err::kNotFound;
  }
  const void* first = notes.LockMemory(ids.handle());
  if (first == nullptr) return err::kInvalidHandle;
  std::memcpy(noteId, first, sizeof *noteId);
  notes.UnlockMemory(ids.handle());
  return Status();
}

Outcome OpenConfigDocument(NotesServices& notes, const std::string& serverName,
                           Database& admin, uint32_t* noteId) {
  Status s = admin.Open(kAdminDatabasePath);
  if (!s.ok()) {
    return StatusFailure(std::string("cannot open ") + kAdminDatabasePath, s);
  }
  s = FindConfigNote(notes, admin.handle(), serverName, noteId);
  if (s.Is(err::kNotFound)) {
    return Outcome::Failure(std::string("no configuration document for ") +
                            serverName + " in " + kAdminDatabasePath +
                            " (view " + kConfigViewName + ")");
  }
  if (!s.ok()) {
    return StatusFailure(std::string("cannot read the view ") +
                             kConfigViewName + " of " + kAdminDatabasePath,
                         s);
  }
  return Outcome();
}

std::vector<std::string> ConfiguredScanBoxes(LocalNotesServices& notes,
                                             NoteHandle config) {
  std::vector<std::string> boxes;
  const uint16_t count = notes.GetTextListCount(config, kItemScanningNsf);
  for (uint16_t i = 0; i < count && boxes.size() < kMaxScanBoxNames; ++i) {
    std::array<char, kListEntryBuffer> entry{};
    const uint16_t length =
        notes.GetTextListEntry(config, kItemScanningNsf, i, entry,
                               static_cast<uint16_t>(entry.size()));
    if (length > 0) boxes.emplace_back(entry.data(), length);
  }
  if (boxes.empty()) {
    boxes.assign(kDefaultScanBoxes.begin(), kDefaultScanBoxes.end());
  }
  // On the scanning server, named as the router names them. A name longer
  // than the router takes is refused by it, which keeps the boxes it has:
  // this server's, read here as before.
  std::array<char, kListEntryBuffer> server{};
  const uint16_t length =
      notes.GetTextItem(config, kItemScanningServer, server);
  if (length >= kServerNameSize) return boxes;
  for (std::string& box : boxes) box = ToolPath(notes, server.data(), box);
  return boxes;
}

Outcome ReadConfiguredScanBoxes(LocalNotesServices& server,
                                std::vector<std::string>* boxes) {
  std::string name;
  Outcome outcome = OwnServerName(server, &name);
  if (!outcome.ok()) return outcome;
  Database admin(server);
  uint32_t noteId = 0;
  outcome = OpenConfigDocument(server, name, admin, &noteId);
  if (!outcome.ok()) return outcome;
  Note config(server);
  const Status s = config.Open(admin.handle(), noteId);
  if (!s.ok())
    return StatusFailure("cannot open the configuration document", s);
  *boxes = ConfiguredScanBoxes(server, config.handle());
  return Outcome();
}

}  // namespace vt::tool

// Reading the configuration document: the view lookup under the server's
// name, then every item with its default and limit.
#include "config/ServerConfig.h"

#include <cstring>

#include "config/ConfigItems.h"
#include "config/ConfigValues.h"
#include "notes/HandleOwners.h"

namespace vt {
namespace {

constexpr uint16_t kFindCaseInsensitive = 2;
constexpr uint32_t kReadNoteIdsOnly = 1;
constexpr uint16_t kNavigateNext = 1;
constexpr size_t kItemBufferSize = 500;

}  // namespace

ServerConfig::ServerConfig(NotesServices& notes, SystemServices& system,
                           const char* adminServerName,
                           const char* adminPathName)
    : MailDatabase(notes), system_(system) {
  adminServer.Assign(adminServerName ? adminServerName : "");
  adminPath.Assign(adminPathName ? adminPathName : "");
}

ServerConfig::~ServerConfig() { Close().IgnoreError(); }

Status ServerConfig::OpenConfigView(uint32_t* viewNoteId,
                                    Collection* collection) {
  *viewNoteId = 0;
  if (!dbHandle) return err::kNoDatabaseHandle;
  Status status =
      notes().FindDesignNote(dbHandle, kConfigViewName, kNoteClassView,
                             kDesignFlagPattern, viewNoteId, 0);
  if (!status.ok()) {
    ReportError(status, "Unable to find view: %s. ", kConfigViewName);
    return status.Masked();
  }
  status = collection->Open(dbHandle, *viewNoteId);
  if (!status.ok()) {
    ReportError(status, "Unable to open view: %s. ", kConfigViewName);
    return status.Masked();
  }
  return Status();
}

uint32_t ServerConfig::FindConfigNoteId(Status* result) {
  NotesServices& n = notes();
  uint32_t viewNoteId = 0;
  Collection collection(n);
  Status status = OpenConfigView(&viewNoteId, &collection);
  if (!status.ok()) {
    ReportError(status, "Error opening server configuration view '%s'.",
                kConfigViewName);
    *result = status;
    return 0;
  }
  status = n.UpdateCollection(collection.handle());
  if (!status.ok()) {
    ReportError(status, "Error refreshing Server Configuration view '%s'.",
                kConfigViewName);
  }
  CollectionPosition position;
  uint32_t matches = 0;
  const Status found = n.FindByName(collection.handle(), serverName.c_str(),
                                    kFindCaseInsensitive, &position, &matches)
                           .Masked();
  if (!found.ok() && !found.Is(err::kNotFound)) {
    ReportError(found, "Error searching for configuration document (%s)",
                adminPath.c_str());
    *result = found;
    return 0;
  }
  ReportError(Status(), "Reading configuration document for %s",
              serverName.c_str());
  uint32_t noteId = 0;
  if (found.ok() && matches > 0) {
    ReturnedMemory buffer(n);
    uint16_t bufferLength = 0;
    uint32_t returned = 0;
    status = n.ReadEntries(collection.handle(), &position, 0, 0, kNavigateNext,
                           matches, kReadNoteIdsOnly, buffer.place(),
                           &bufferLength, nullptr, &returned, nullptr);
    if (!status.ok()) {
      ReportError(status, "Unable to read configuration view '%s'.",
                  kConfigViewName);
      *result = status;
      return 0;
    }
    if (buffer.handle()) {
      const void* ids = n.LockMemory(buffer.handle());
      if (ids != nullptr && returned > 0 && bufferLength >= sizeof(uint32_t)) {
        std::memcpy(&noteId, ids, sizeof noteId);
      }
      if (ids != nullptr) n.UnlockMemory(buffer.handle());
    }
  }
  if (noteId == 0) {
    // No document for this server, or nothing could be read back.
    ReportError(Status(), "Unable to read configuration view '%s'.",
                kConfigViewName);
    *result = err::kMissingValue;
  }
  return noteId;
}

Status ServerConfig::Read() {
  NotesServices& n = notes();
  Status status = n.GetServerIdName(serverName.span());
  if (!status.ok()) {
    ReportError(status, "Unable to get user name from ID file.");
    return status;
  }
  if (!IsOpen()) {
    status = Open(adminServer.c_str(), adminPath.c_str());
    if (!status.ok()) {
      ReportError(status, "Error opening administration nsf:  %s:%s",
                  adminServer.c_str(), adminPath.c_str());
      return status;
    }
  }
  Status lookup;
  const uint32_t noteId = FindConfigNoteId(&lookup);
  if (noteId == 0) return lookup;
  configNoteId = noteId;

  Note opened(n);
  status = opened.Open(dbHandle, configNoteId);
  const NoteHandle note = opened.handle();
  if (!status.ok()) {
    ReportError(status, "Unable to open configuration document for %s",
                serverName.c_str());
    return status;
  }
  n.GetNoteField(note, kNoteFieldModified, &configModified).IgnoreError();

  bool whole = ReadText(note, kItemMailboxServer, mailboxServer.span());
  ReadTextList(note, kItemMailboxNsf, mailboxNames);
  if (mailboxNames.empty()) {
    ReportError(Status(), "Missing Mailbox values in configuration document.");
    return err::kMissingValue;
  }
  if (mailboxNames.size() > kMaxMailboxNames) {
    ReportError(Status(),
                "Only ten Mailbox values may be specified in the "
                "configuration document.");
    mailboxNames.resize(kMaxMailboxNames);
  }
  whole = ReadItems(note) && whole;
  return whole ? Status() : Status(err::kBufferTooSmall);
}

bool ServerConfig::ReadText(NoteHandle note, const char* itemName,
                            std::span<char> field) {
  // Read through a buffer larger than any field, so that a value too long
  // for its field is seen and refused: cut, it would name another server or
  // database. The field then keeps what it had.
  FixedText<kItemBufferSize> value;
  notes().GetTextItem(note, itemName, value.span());
  if (value.size() < field.size()) {
    CopyBounded(field, value.view());
    return true;
  }
  ReportError(err::kBufferTooSmall,
              "Configuration value %s is too long (at most %zu characters). ",
              itemName, field.size() - 1);
  return false;
}

bool ServerConfig::ReadItems(NoteHandle note) {
  NotesServices& n = notes();
  bool whole = ReadText(note, kItemScanningServer, scanningServer.span());
  if (scanningServer.empty()) scanningServer.Assign("local");

  ReadTextList(note, kItemScanningNsf, scanBoxNames);
  if (scanBoxNames.empty()) {
    ReportError(Status(),
                "Missing scanning database names in configuration document.  "
                "Adding defaults.");
    scanBoxNames.emplace_back(kDefaultScanBox1);
    scanBoxNames.emplace_back(kDefaultScanBox2);
  }
  if (scanBoxNames.size() > kMaxScanBoxNames) {
    ReportError(Status(),
                "Only ten scanning database names may be specified in the "
                "configuration document.");
    scanBoxNames.resize(kMaxScanBoxNames);
  }

  struct PathItem {
    const char* item;
    FixedText<kPathSize>* field;
    const char* fallback;
  };
  for (const PathItem& p :
       {PathItem{kItemQuarantinePathB, &quarantinePathB, kDefaultQuarantineB},
        PathItem{kItemQuarantinePathC, &quarantinePathC, kDefaultQuarantineC},
        PathItem{kItemQuarantinePathD, &quarantinePathD,
                 kDefaultQuarantineD}}) {
    whole = ReadText(note, p.item, p.field->span()) && whole;
    if (p.field->empty()) p.field->Assign(p.fallback);
  }
  whole =
      ReadText(note, kItemQuarantineServerB, quarantineServerB.span()) && whole;
  whole =
      ReadText(note, kItemQuarantineServerC, quarantineServerC.span()) && whole;
  whole =
      ReadText(note, kItemQuarantineServerD, quarantineServerD.span()) && whole;

  maxQuarantineBytes = QuarantineMegabytes(n.GetNumberItem(
                           note, kItemMaxQuarantineSize, kDefaultQuarantineMb))
                       << 20;

  FixedText<kItemBufferSize> text;
  text.Clear();
  n.GetTextItem(note, kItemMailProcessingOptions, text.span());
  processingMode = ProcessingMode(text.view());
  if (processingMode == 0) {
    ReportError(Status(), "*** Veltrane is currently disabled. ***");
  }

  alternateInterceptor =
      AlternateInterceptor(n.GetNumberItem(note, kItemAlternateInterceptor, 0));

  text.Clear();
  n.GetTextItem(note, kItemConsoleLogLevel, text.span());
  logLevel = LogLevel(text.view());

  releaseMinutes =
      ReleaseMinutes(n.GetNumberItem(note, kItemReleaseMailMinutes, 0));
  return whole;
}

void ServerConfig::ReadTextList(NoteHandle note, const char* itemName,
                                std::vector<std::string>& list) {
  NotesServices& n = notes();
  list.clear();
  const uint16_t nameLength = static_cast<uint16_t>(std::strlen(itemName));
  if (!n.GetItemInfo(note, itemName, nameLength, nullptr, nullptr, nullptr,
                     nullptr)
           .ok()) {
    return;
  }
  const uint16_t count = n.GetTextListCount(note, itemName);
  for (uint16_t i = 0; i < count; ++i) {
    FixedText<kItemBufferSize> entry;
    const uint16_t length = n.GetTextListEntry(
        note, itemName, i, entry.span(), static_cast<uint16_t>(entry.kSize));
    if (length == 0) continue;
    std::string_view value = entry.view();
    if (value.size() > kListEntryMax) value = value.substr(0, kListEntryMax);
    list.emplace_back(value);
  }
}

}  // namespace vt

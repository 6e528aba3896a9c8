// Views of the embedded server: finding a view's design note, and
// collections that index a database's documents by a view's "$Formula" and
// "$Collation". An index is built when the collection opens and rebuilt by
// UpdateCollection.

#include <algorithm>
#include <cstring>

#include "notes/StoredForms.h"
#include "server/LocalNotesServices.h"
#include "server/store/BlobItemSource.h"
#include "server/view/StoredFormCodec.h"

namespace vt {
namespace {

constexpr uint16_t kFindCaseInsensitive = 0x0002;
constexpr uint32_t kReturnNoteIds = 0x00000001;
// A 16-bit buffer length holds at most this many 32-bit note IDs.
constexpr uint32_t kMaxEntriesPerRead = 0xFFFF / sizeof(uint32_t);

// A view is found by its title or any of its "|"-separated aliases,
// without regard to case.
bool TitleNames(std::string_view title, std::string_view name) {
  while (true) {
    const size_t bar = title.find('|');
    const std::string_view alias = title.substr(0, bar);
    if (alias.size() == name.size() &&
        strncasecmp(alias.data(), name.data(), name.size()) == 0) {
      return true;
    }
    if (bar == std::string_view::npos) return false;
    title.remove_prefix(bar + 1);
  }
}

}  // namespace

uint16_t LocalNotesServices::CanonicalSize(uint16_t recordType) {
  return view::CanonicalSizeOf(recordType);
}

void LocalNotesServices::WriteCanonical(uint8_t** cursor, uint16_t recordType,
                                        const void* record, uint16_t count) {
  view::WriteCanonicalRecords(cursor, recordType, record, count);
}

Status LocalNotesServices::FindDesignNote(DbHandle db, const char* name,
                                          uint16_t noteClass, const char*,
                                          uint32_t* noteId, uint32_t) {
  if (noteId != nullptr) *noteId = 0;
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  if (name == nullptr || noteId == nullptr) return err::kInvalidArgument;
  const std::string_view wanted(name);
  uint32_t found = 0;
  const Status s = database->ForEachNote(
      noteClass, [&](const store::ScanEntry& entry) -> Status {
        const store::BlobItemSource note(entry.summary, {}, entry.created,
                                         entry.modified);
        RawItem title;
        if (found == 0 && note.FindItem("$TITLE", &title) &&
            TitleNames(std::string_view(
                           reinterpret_cast<const char*>(title.value.data()),
                           title.value.size()),
                       wanted)) {
          found = entry.id;
        }
        return Status();
      });
  if (!s.ok()) return s;
  if (found == 0) return err::kNotFound;
  *noteId = found;
  return Status();
}

Status LocalNotesServices::BuildCollection(OpenCollectionEntry* entry) {
  store::NoteRecord viewNote;
  Status s = entry->viewDatabase->ReadNote(entry->viewNoteId, &viewNote);
  if (!s.ok()) return s;
  const store::Item* formulaItem = viewNote.items.Find("$Formula");
  const store::Item* collationItem = viewNote.items.Find("$Collation");
  if (formulaItem == nullptr) return err::kCorruptDatabase;
  s = view::LoadViewDesign(formulaItem->value,
                           collationItem == nullptr
                               ? std::span<const uint8_t>()
                               : std::span<const uint8_t>(collationItem->value),
                           &entry->design);
  if (!s.ok()) return s;
  store::NsfDatabase& data = *entry->dataDatabase;
  return entry->index.Build(
      entry->design,
      [&data](const view::NoteVisitor& visit) {
        return data.ForEachNote(kNoteClassDocument,
                                [&](const store::ScanEntry& e) -> Status {
                                  const store::BlobItemSource note(
                                      e.summary, {}, e.created, e.modified);
                                  visit(e.id, note);
                                  return Status();
                                });
      },
      TimeDateFromUnixCentis(Now()));
}

Status LocalNotesServices::OpenCollection(
    DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId, uint16_t, MemHandle,
    CollectionHandle* collection, NoteHandle* viewNote, void*,
    MemHandle* collapsedList, MemHandle* selectedList) {
  if (collection != nullptr) *collection = CollectionHandle();
  if (viewNote != nullptr) *viewNote = NoteHandle();
  if (collapsedList != nullptr) *collapsedList = MemHandle();
  if (selectedList != nullptr) *selectedList = MemHandle();
  const DatabaseRegistry::OpenDb* views = FindDb(viewDb);
  const DatabaseRegistry::OpenDb* data = FindDb(dataDb);
  if (views == nullptr || data == nullptr) return err::kInvalidHandle;
  if (collection == nullptr) return err::kInvalidArgument;
  auto entry = std::make_unique<OpenCollectionEntry>();
  entry->viewDatabase = views->database;
  entry->dataDatabase = data->database;
  entry->viewNoteId = viewNoteId;
  const Status s = BuildCollection(entry.get());
  if (!s.ok()) return s;
  const uint32_t value = collections_.Add(std::move(entry));
  if (value == 0) return err::kNoMemory;
  *collection = CollectionHandle(value);
  return Status();
}

Status LocalNotesServices::UpdateCollection(CollectionHandle collection) {
  OpenCollectionEntry* entry = collections_.Find(collection.value);
  if (entry == nullptr) return err::kInvalidHandle;
  return BuildCollection(entry);
}

Status LocalNotesServices::FindByName(CollectionHandle collection,
                                      const char* key, uint16_t findFlags,
                                      CollectionPosition* position,
                                      uint32_t* matches) {
  if (position != nullptr) *position = CollectionPosition();
  if (matches != nullptr) *matches = 0;
  const OpenCollectionEntry* entry = collections_.Find(collection.value);
  if (entry == nullptr) return err::kInvalidHandle;
  if (key == nullptr) return err::kInvalidArgument;
  uint32_t index = 0, count = 0;
  const Status s = entry->index.FindByName(
      key, (findFlags & kFindCaseInsensitive) != 0, &index, &count);
  if (!s.ok()) return s;
  if (position != nullptr) position->index = index;
  if (matches != nullptr) *matches = count;
  return Status();
}

Status LocalNotesServices::ReadEntries(
    CollectionHandle collection, CollectionPosition* position, uint16_t,
    uint32_t skipCount, uint16_t, uint32_t returnCount, uint32_t returnMask,
    MemHandle* buffer, uint16_t* bufferLength, uint32_t* entriesSkipped,
    uint32_t* entriesReturned, uint16_t* signalFlags) {
  if (buffer != nullptr) *buffer = MemHandle();
  if (bufferLength != nullptr) *bufferLength = 0;
  if (entriesSkipped != nullptr) *entriesSkipped = 0;
  if (entriesReturned != nullptr) *entriesReturned = 0;
  if (signalFlags != nullptr) *signalFlags = 0;
  const OpenCollectionEntry* entry = collections_.Find(collection.value);
  if (entry == nullptr) return err::kInvalidHandle;
  // Only note IDs are kept in an index of this server.
  if (returnMask != kReturnNoteIds || buffer == nullptr) {
    return err::kInvalidArgument;
  }
  const size_t size = entry->index.size();
  size_t start = position == nullptr ? 0 : position->index;
  start = std::min(size, start + skipCount);
  const size_t count =
      std::min<size_t>({size - start, returnCount, size_t{kMaxEntriesPerRead}});
  if (entriesSkipped != nullptr) {
    *entriesSkipped =
        static_cast<uint32_t>(start - (position ? position->index : 0));
  }
  if (count == 0) return Status();
  MemHandle block;
  const Status s =
      memory_.Allocate(static_cast<uint32_t>(count * sizeof(uint32_t)), &block);
  if (!s.ok()) return s;
  const std::span<uint8_t> bytes = memory_.Block(block);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t id = entry->index.NoteIdAt(start + i);
    std::memcpy(bytes.data() + i * sizeof id, &id, sizeof id);
  }
  *buffer = block;
  if (bufferLength != nullptr) {
    *bufferLength = static_cast<uint16_t>(count * sizeof(uint32_t));
  }
  if (entriesReturned != nullptr)
    *entriesReturned = static_cast<uint32_t>(count);
  if (position != nullptr)
    position->index = static_cast<uint32_t>(start + count);
  return Status();
}

Status LocalNotesServices::CloseCollection(CollectionHandle collection) {
  return collections_.Remove(collection.value) ? Status()
                                               : Status(err::kInvalidHandle);
}

}  // namespace vt

// The embedded server's item operations: reading items of an open note as
// text, number or list, and changing them before the note is saved.
#include <cstring>

#include "notes/ItemValue.h"
#include "server/BufferText.h"
#include "server/LocalNotesServices.h"

namespace vt {
namespace {

constexpr uint16_t kWholeText = 0xFFFF;

// Item names arrive with a length; a length of 0 means "up to the
// terminator", which is what a caller passing strlen meant anyway.
std::string_view NameView(const char* name, uint16_t length) {
  if (name == nullptr) return {};
  if (length == 0) return std::string_view(name, strnlen(name, 0xFFFF));
  return std::string_view(name, strnlen(name, length));
}

std::string_view ValueText(const store::Item& item) {
  return std::string_view(reinterpret_cast<const char*>(item.value.data()),
                          item.value.size());
}

}  // namespace

uint16_t LocalNotesServices::GetTextItem(NoteHandle note, const char* name,
                                         std::span<char> buffer) {
  if (!buffer.empty()) buffer[0] = '\0';
  const store::NoteRecord* record = Note(note);
  if (record == nullptr || name == nullptr) return 0;
  const store::Item* item = record->items.Find(name);
  if (item == nullptr) return 0;
  switch (item->type) {
    case kTypeText:
      return CopyOut(buffer, ValueText(*item));
    case kTypeTextList: {
      const auto entries = item::DecodeTextList(item->value);
      if (!entries || entries->empty()) return 0;
      return CopyOut(buffer, entries->front());
    }
    case kTypeNumber: {
      // As Notes does, a number reads as its text.
      const auto number = item::DecodeNumber(item->value);
      if (!number) return 0;
      char text[32];
      FormatBounded(text, "%.15g", *number);
      return CopyOut(buffer, text);
    }
    default:
      return 0;
  }
}

double LocalNotesServices::GetNumberItem(NoteHandle note, const char* name,
                                         double defaultValue) {
  const store::NoteRecord* record = Note(note);
  if (record == nullptr || name == nullptr) return defaultValue;
  const store::Item* item = record->items.Find(name);
  if (item == nullptr || item->type != kTypeNumber) return defaultValue;
  return item::DecodeNumber(item->value).value_or(defaultValue);
}

uint16_t LocalNotesServices::GetTextListCount(NoteHandle note,
                                              const char* name) {
  const store::NoteRecord* record = Note(note);
  if (record == nullptr || name == nullptr) return 0;
  const store::Item* item = record->items.Find(name);
  if (item == nullptr) return 0;
  switch (item->type) {
    case kTypeTextList: {
      const auto entries = item::DecodeTextList(item->value);
      return entries ? static_cast<uint16_t>(entries->size()) : 0;
    }
    case kTypeText:
    case kTypeNumber:
    case kTypeTime:
      return 1;
    default:
      return 0;
  }
}

uint16_t LocalNotesServices::GetTextListEntry(NoteHandle note, const char* name,
                                              uint16_t index,
                                              std::span<char> buffer,
                                              uint16_t bufferSize) {
  const std::span<char> out = Limit(buffer, bufferSize);
  if (!out.empty()) out[0] = '\0';
  const store::NoteRecord* record = Note(note);
  if (record == nullptr || name == nullptr) return 0;
  const store::Item* item = record->items.Find(name);
  if (item == nullptr) return 0;
  if (item->type == kTypeText) {
    return index == 0 ? CopyOut(out, ValueText(*item)) : 0;
  }
  if (item->type != kTypeTextList) return 0;
  const auto entries = item::DecodeTextList(item->value);
  if (!entries || index >= entries->size()) return 0;
  return CopyOut(out, (*entries)[index]);
}

Status LocalNotesServices::GetItemInfo(NoteHandle note, const char* name,
                                       uint16_t nameLength, uint16_t* dataType,
                                       uint16_t* itemFlags,
                                       uint32_t* valueLength,
                                       uint32_t* reserved) {
  const store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  const std::string_view itemName = NameView(name, nameLength);
  if (itemName.empty()) return err::kInvalidArgument;
  const store::Item* item = record->items.Find(itemName);
  if (item == nullptr) return err::kItemNotFound;
  if (dataType != nullptr) *dataType = item->type;
  if (itemFlags != nullptr) *itemFlags = item->flags;
  if (valueLength != nullptr) {
    *valueLength = static_cast<uint32_t>(item->value.size());
  }
  if (reserved != nullptr) *reserved = 0;
  return Status();
}

Status LocalNotesServices::SetTextItem(NoteHandle note, const char* name,
                                       const char* text, uint16_t length) {
  store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  const std::string_view itemName = NameView(name, 0);
  if (itemName.empty()) return err::kInvalidArgument;
  std::string_view value;
  if (text != nullptr) {
    value = length == kWholeText ? std::string_view(text)
                                 : std::string_view(text, length);
  }
  record->items.Replace(store::Item{std::string(itemName), kTypeText,
                                    kItemFlagSummary, item::EncodeText(value)});
  return Status();
}

Status LocalNotesServices::DeleteItem(NoteHandle note, const char* name,
                                      uint16_t nameLength) {
  store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  record->items.RemoveAll(NameView(name, nameLength));
  return Status();
}

Status LocalNotesServices::AppendItem(NoteHandle note, uint16_t itemFlags,
                                      const char* name, uint16_t nameLength,
                                      uint16_t dataType, const void* value,
                                      uint32_t valueLength) {
  store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  const std::string_view itemName = NameView(name, nameLength);
  if (itemName.empty()) return err::kInvalidArgument;
  if (value == nullptr && valueLength != 0) return err::kInvalidArgument;
  if (valueLength > store::kMaxItemValueLength) return err::kItemTooLarge;
  store::Item item;
  item.name.assign(itemName);
  item.type = dataType;
  item.flags = itemFlags;
  const auto* bytes = static_cast<const uint8_t*>(value);
  if (valueLength != 0) item.value.assign(bytes, bytes + valueLength);
  record->items.Append(std::move(item));
  return Status();
}

}  // namespace vt

// Items written onto an open note one after another, the first failure
// kept and the rest skipped, so that a note is saved whole or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notes/ItemValue.h"
#include "notes/NotesServices.h"
#include "notes/TimeDate.h"

namespace vt::smtp {

class NoteWriter {
 public:
  NoteWriter(NotesServices& notes, NoteHandle note)
      : notes_(notes), note_(note) {}

  void Text(const char* name, std::string_view text, bool summary = true) {
    Append(name, kTypeText, item::EncodeText(text), summary);
  }
  void TextList(const char* name, const std::vector<std::string>& entries,
                bool summary = true) {
    Append(name, kTypeTextList, item::EncodeTextList(entries), summary);
  }
  void Number(const char* name, double value) {
    Append(name, kTypeNumber, item::EncodeNumber(value), true);
  }
  void Time(const char* name, int64_t unixCentis) {
    Append(name, kTypeTime,
           item::EncodeTime(TimeDateFromUnixCentis(unixCentis)), true);
  }
  // The item's earlier value goes; the next call writes the new one.
  NoteWriter& Replacing(const char* name) {
    if (status_.ok()) {
      status_ = notes_.DeleteItem(
          note_, name,
          static_cast<uint16_t>(std::char_traits<char>::length(name)));
    }
    return *this;
  }
  Status status() const { return status_; }

 private:
  void Append(const char* name, uint16_t type,
              const std::vector<uint8_t>& value, bool summary) {
    if (!status_.ok()) return;
    status_ = notes_.AppendItem(
        note_, summary ? kItemFlagSummary : 0, name,
        static_cast<uint16_t>(std::char_traits<char>::length(name)), type,
        value.data(), static_cast<uint32_t>(value.size()));
  }

  NotesServices& notes_;
  NoteHandle note_;
  Status status_;
};

}  // namespace vt::smtp

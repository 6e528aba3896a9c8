// Building and searching a view index.
#include "server/view/ViewIndex.h"

#include <algorithm>
#include <cctype>

#include "base/Ascii.h"
#include "notes/Handles.h"
#include "notes/ItemValue.h"
#include "notes/StoredForms.h"

namespace vt::view {
Status LoadViewDesign(std::span<const uint8_t> formula,
                      std::span<const uint8_t> collation, ViewDesign* design) {
  Status status = formula::DecodeFormula(formula, &design->program);
  if (!status.ok()) return status;
  design->keys.clear();
  if (!collation.empty()) {
    auto keys = ParseCollation(collation);
    if (!keys) return err::kCorruptDatabase;
    design->keys = std::move(*keys);
  }
  return Status();
}

int ViewIndex::Compare(const SortValue& a, const SortValue& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  switch (a.kind) {
    case 1:
      return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    case 2:
      return a.time < b.time ? -1 : (a.time > b.time ? 1 : 0);
    case 3:
      return CompareIgnoreCase(a.text, b.text);
    default:
      return 0;
  }
}

Status ViewIndex::Build(const ViewDesign& design, const NoteScan& scan,
                        TimeDate now) {
  std::vector<Entry> entries;
  const Status status = scan([&](uint32_t noteId, const ItemSource& note) {
    if (!design.program.Selects(note, now)) return;
    Entry entry;
    entry.noteId = noteId;
    if (!design.keys.empty()) {
      const std::vector<formula::ColumnValue> columns =
          design.program.ColumnValues(note, now);
      for (const CollationKey& key : design.keys) {
        SortValue value;
        if (key.keyType == kCollateKeyCreated) {
          value.kind = 2;
          value.time = UnixCentisFromTimeDate(note.Created());
        } else {
          for (const formula::ColumnValue& column : columns) {
            if (CompareIgnoreCase(column.name, key.name) != 0) continue;
            const formula::FormulaValue& v = column.value;
            if (v.kind == formula::FormulaValue::Kind::kNumber) {
              value.kind = 1;
              value.number = v.number;
            } else if (v.kind == formula::FormulaValue::Kind::kTime) {
              value.kind = 2;
              value.time = UnixCentisFromTimeDate(v.time);
            } else if (v.kind == formula::FormulaValue::Kind::kText &&
                       !v.texts.empty() && !v.texts.front().empty()) {
              value.kind = 3;
              value.text = v.texts.front();
            }
            break;
          }
        }
        entry.keys.push_back(std::move(value));
      }
    }
    entries.push_back(std::move(entry));
  });
  if (!status.ok()) return status;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) {
                     for (size_t i = 0; i < a.keys.size(); ++i) {
                       const int c = Compare(a.keys[i], b.keys[i]);
                       if (c != 0) return c < 0;
                     }
                     return a.noteId < b.noteId;
                   });
  entries_ = std::move(entries);
  return Status();
}

Status ViewIndex::FindByName(std::string_view key, bool caseInsensitive,
                             uint32_t* index, uint32_t* count) const {
  *index = 0;
  *count = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const std::vector<SortValue>& keys = entries_[i].keys;
    if (keys.empty() || keys[0].kind != 3) continue;
    const bool equal = caseInsensitive
                           ? CompareIgnoreCase(keys[0].text, key) == 0
                           : keys[0].text == key;
    if (!equal) {
      // Matches without regard to case are adjacent in the sorted view.
      if (*count > 0 && caseInsensitive) break;
      continue;
    }
    if (*count == 0) *index = static_cast<uint32_t>(i);
    ++*count;
  }
  return *count > 0 ? Status() : Status(err::kNotFound);
}

}  // namespace vt::view

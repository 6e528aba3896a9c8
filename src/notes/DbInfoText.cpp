// Splitting and rebuilding the database information text.
#include "notes/DbInfoText.h"

#include <string>
#include <vector>

#include "notes/FixedText.h"

namespace vt {

namespace {

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
}

}  // namespace

std::string_view DbInfoField(const DbInfo& info, uint16_t field) {
  const std::string_view text(info.data(), BoundedLength(info));
  const std::vector<std::string_view> fields = SplitFields(text);
  return field < fields.size() ? fields[field] : std::string_view();
}

void SetDbInfoField(DbInfo& info, uint16_t field, std::string_view text) {
  // Beyond the last field that can start inside 127 characters nothing fits.
  if (field >= kDbInfoSize - 1) return;
  const size_t nl = text.find('\n');
  if (nl != std::string_view::npos) text = text.substr(0, nl);

  const std::string current(info.data(), BoundedLength(info));
  std::vector<std::string_view> fields = SplitFields(current);
  if (fields.size() <= field) fields.resize(static_cast<size_t>(field) + 1);
  fields[field] = text;

  std::string joined;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) joined.push_back('\n');
    joined.append(fields[i]);
  }
  info.fill('\0');
  CopyBounded(info, joined);
}

}  // namespace vt

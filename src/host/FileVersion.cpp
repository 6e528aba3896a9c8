// Reading the "FileVersion" value of the executable's first translation and
// turning "1, 2, 0, 5" into "1.2.0.5".
#include "host/FileVersion.h"

#include <cstring>
#include <new>
#include <vector>

namespace vt {

int ReadFileVersion(SystemServices& system, const char* exePath,
                    FixedText<30>& versionText) {
  const uint32_t size = system.GetFileVersionInfoSize(exePath);
  if (size == 0) return 1;
  std::vector<uint8_t> block;
  try {
    block.resize(size);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  const void* value = nullptr;
  uint32_t length = 0;
  if (!system.GetFileVersionInfo(exePath, block) ||
      !system.QueryVersionValue(block, "\\VarFileInfo\\Translation", &value,
                                &length) ||
      length < 4) {
    return 1;
  }
  const auto* translation = static_cast<const uint8_t*>(value);
  const unsigned language = translation[0] | (translation[1] << 8);
  const unsigned codePage = translation[2] | (translation[3] << 8);
  FixedText<200> query;
  query.Format("\\StringFileInfo\\%04x%04x\\FileVersion", language, codePage);
  if (!system.QueryVersionValue(block, query.c_str(), &value, &length)) {
    return 1;
  }
  // Cut to the 52-byte buffer, then to the 30-byte field: never past either.
  FixedText<52> raw(
      std::string_view(static_cast<const char*>(value),
                       BoundedLength(std::span<const char>(
                           static_cast<const char*>(value), length))));
  FixedText<30> dotted;
  for (char c : raw.view()) {
    if (c == ' ') continue;
    const char out[2] = {c == ',' ? '.' : c, '\0'};
    if (!dotted.Append(out)) break;
  }
  versionText.Assign(dotted.view());
  return 0;
}

}  // namespace vt

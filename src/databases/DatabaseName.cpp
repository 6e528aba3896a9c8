// The "local" rule and the free-name probe used by database creation.
#include "databases/DatabaseName.h"

#include "base/Ascii.h"
#include "notes/FixedText.h"

namespace vt {

bool IsLocalServer(const char* server) {
  return server == nullptr || server[0] == '\0' ||
         EqualsIgnoreCase(server, "local");
}

Status BuildDatabaseName(NotesServices& notes, const char* server,
                         const char* path, std::span<char> out) {
  if (IsLocalServer(server)) {
    CopyBounded(out, path ? path : "");
    return Status();
  }
  Status status = notes.ConstructNetPath(nullptr, server, path, out);
  if (!status.ok()) CopyBounded(out, "");
  return status;
}

Status ProbeDatabaseName(NotesServices& notes, const char* server,
                         const char* path, uint32_t* taken,
                         std::span<char> freeName) {
  if (!freeName.empty()) freeName[0] = '\0';
  *taken = 0;
  if (server == nullptr || path == nullptr || path[0] == '\0') {
    return err::kMissingValue;
  }
  FixedText<kNetPathSize> name;
  BuildDatabaseName(notes, server, path, name.span()).IgnoreError();
  DbHandle handle;
  const Status status = notes.OpenDatabase(name.c_str(), &handle);
  if (status.Is(err::kFileNotFound)) {
    CopyBounded(freeName, name.view());
  } else {
    *taken = 1;
  }
  if (handle) notes.CloseDatabase(handle).IgnoreError();
  return status;
}

}  // namespace vt

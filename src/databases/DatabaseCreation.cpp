// Opening a configured database, creating it from its template or blank
// when it does not exist, and titling new databases.
#include "databases/DatabaseCreation.h"

#include <cstring>
#include <string_view>

#include "databases/DefaultView.h"
#include "databases/RouterItems.h"

namespace vt {

Status OpenOrCreateDatabase(MailDatabase& record, const char* server,
                            const char* path, const char* templatePath,
                            const char* title, DbHandle settingsSource) {
  const Status opened = record.Open(server, path);
  if (opened.ok()) return Status();
  if (!opened.Is(err::kFileNotFound)) return opened;

  TaskLog log(record.notes());
  const Status fromTemplate =
      CreateFromTemplate(record, server, templatePath, path, title);
  if (fromTemplate.ok()) {
    log.Log(Status(), "Created new Quarantine database %s ", path);
    return Status();
  }
  if (!fromTemplate.Is(err::kFileNotFound)) {
    log.Log(fromTemplate,
            "Unable to create new database '%s' from template '%s' ", path,
            templatePath);
    return fromTemplate;
  }
  const Status blank =
      CreateBlankDatabase(record, server, path, title, settingsSource);
  if (!blank.ok()) {
    log.Log(blank, "Error creating new database '%s' ", path);
    return blank;
  }
  log.Log(Status(), "Created new database '%s' ", path);
  return Status();
}

Status CreateFromTemplate(MailDatabase& record, const char* server,
                          const char* templatePath, const char* path,
                          const char* title) {
  // Private copies: the arguments may be the record's own fields, which
  // SetNames overwrites.
  const FixedText<kServerNameSize> serverName(server ? server : "");
  const FixedText<kPathSize> dbPath(path ? path : "");
  record.SetNames(serverName.c_str(), templatePath);
  const FixedText<kNetPathSize> templateName(record.netPath.view());
  record.SetNames(serverName.c_str(), dbPath.c_str());

  const Status status = record.notes().CreateDatabaseCopy(
      templateName.c_str(), record.netPath.c_str(), kNoteClassAllNonData, 0, 0,
      &record.dbHandle);
  if (!status.ok()) {
    record.dbHandle = DbHandle();
    record.ReportError(status,
                       "Unable to create new database '%s' from template '%s'",
                       record.netPath.c_str(), templateName.c_str());
    return status.Masked();
  }
  record.openFlags |= kDatabaseOpenFlag;
  SetNumberedTitle(record.dbHandle, title, record, dbPath.c_str())
      .IgnoreError();
  return Status();
}

Status CreateBlankDatabase(MailDatabase& record, const char* server,
                           const char* path, const char* title,
                           DbHandle settingsSource) {
  NotesServices& notes = record.notes();
  FixedText<kNetPathSize> fullName;
  BuildDatabaseName(notes, server, path, fullName.span()).IgnoreError();
  if (fullName.empty()) return err::kMissingValue;
  Status status = notes.CreateDatabase(fullName.c_str(), kDatabaseClass, false);
  if (!status.ok()) return status;
  status = record.Open(server, path);
  if (!status.ok()) return status;
  CreateDefaultView(notes, record.dbHandle).IgnoreError();
  SetNumberedTitle(record.dbHandle, title, record, path).IgnoreError();
  if (settingsSource) {
    status = notes.CopyDatabaseSettings(settingsSource, record.dbHandle);
    if (!status.ok()) {
      record.Close().IgnoreError();
      return status;
    }
  }
  return Status();
}

Status SetNumberedTitle(DbHandle handle, const char* title,
                        MailDatabase& record, const char* path) {
  const std::string_view p(path ? path : "");
  const size_t underscore = p.rfind('_');
  if (underscore == std::string_view::npos) {
    return SetDatabaseTitle(record, title, handle);
  }
  const size_t stop = p.find('.', underscore);
  if (stop == std::string_view::npos) {
    return SetDatabaseTitle(record, title, handle);
  }
  // A long number part is cut: the title must fit the information text.
  FixedText<kTitleSize> numbered(title ? title : "");
  numbered.Append(" #");
  numbered.Append(p.substr(underscore + 1, stop - underscore - 1));
  return SetDatabaseTitle(record, numbered.c_str(), handle);
}

Status SetDatabaseTitle(MailDatabase& record, const char* title,
                        DbHandle handle) {
  if (!handle) return err::kNoDatabaseHandle;
  NotesServices& notes = record.notes();
  DbInfo info{};
  Status status = notes.GetDatabaseInfo(handle, info);
  if (!status.ok()) {
    record.ReportError(status, "Unable to get title of new database.");
    return status.Masked();
  }
  const FixedText<kTitleSize> newTitle(title ? title : "");
  notes.SetDatabaseInfoField(info, kDbInfoFieldTitle, newTitle.c_str());
  status = notes.SetDatabaseInfo(handle, info);
  if (!status.ok()) {
    record.ReportError(status, "Unable to set title of new database.");
    return status.Masked();
  }
  NoteHandle icon;
  if (!notes.OpenNote(handle, kIconNoteId, 0, &icon).ok()) return Status();
  if (notes.GetItemInfo(icon, "$TITLE", 6, nullptr, nullptr, nullptr, nullptr)
          .ok()) {
    // Bounded: the information text need not hold a terminator.
    const uint16_t length =
        static_cast<uint16_t>(BoundedLength(std::span<const char>(info)));
    const FixedText<kTitleSize + 1> text(std::string_view(info.data(), length));
    notes.SetTextItem(icon, "$TITLE", text.c_str(), 0xFFFF).IgnoreError();
    notes.UpdateNote(icon, 0).IgnoreError();
  }
  notes.CloseNote(icon).IgnoreError();
  return Status();
}

}  // namespace vt

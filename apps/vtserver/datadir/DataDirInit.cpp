// The steps of `vtserver init`, each one checked.
#include "datadir/DataDirInit.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "base/PosixFiles.h"
#include "databases/DefaultView.h"
#include "datadir/ConfigDocument.h"
#include "datadir/ConfigView.h"
#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "server/LocalNotesServices.h"
#include "server/ServerAdmin.h"
#include "server/ServerIni.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

// inih reads lines of at most 196 characters; "ServerName=" takes 11.
constexpr size_t kMaxServerName = 185;

struct NewDatabase {
  const char* path;
  const char* title;
  bool defaultView;
};

constexpr char kMailboxTitle[] = "Mail Router Mailbox";
constexpr NewDatabase kDatabases[] = {
    {"Veltrane/scan.ntf", "Veltrane Scan Box Template", true},
    {"Veltrane/quarantine.ntf", "Veltrane Quarantine Template", true},
    {"Veltrane/quarantineadmin.ntf",
     "Veltrane Quarantine Administration Template", true},
};
constexpr char kAdminTitle[] = "Veltrane Administration";

// A folder being built; removed with its contents unless it was kept.
class BuildFolder {
 public:
  BuildFolder() = default;
  BuildFolder(const BuildFolder&) = delete;
  BuildFolder& operator=(const BuildFolder&) = delete;
  ~BuildFolder() {
    if (!path_.empty() && !kept_) {
      std::error_code ec;
      fs::remove_all(path_, ec);
    }
  }

  Outcome Make(const fs::path& parent, const std::string& name) {
    std::string pattern = (parent / ("." + name + ".init-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
      return Outcome::Failure("cannot make a folder in " + parent.string());
    }
    path_ = pattern;
    return Outcome();
  }
  const fs::path& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  fs::path path_;
  bool kept_ = false;
};

Outcome WriteServerIni(const fs::path& folder, const std::string& serverName,
                       const std::string& databases) {
  const fs::path file = folder / "server.ini";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << "; The embedded server's settings (made by vtserver init).\n"
      << "ServerName=" << serverName << "\n"
      << "; The databases' format; `vtserver upgrade` raises it.\n"
      << "DataFormat=" << kDataFormat << "\n";
  if (!databases.empty()) {
    out << "; Where this server's databases live.\n"
        << "Databases=" << databases << "\n";
  }
  out.close();
  if (!out) return Outcome::Failure("cannot write " + file.string());
  return Outcome();
}

Status SetTitle(NotesServices& notes, DbHandle db, const char* title) {
  DbInfo info{};
  Status s = notes.GetDatabaseInfo(db, info);
  if (!s.ok()) return s;
  notes.SetDatabaseInfoField(info, kDbInfoFieldTitle, title);
  return notes.SetDatabaseInfo(db, info);
}

// The databases made so far, by path: those in PostgreSQL are taken back if
// init fails (TakeBack).
using Made = std::vector<std::string>;

Outcome CreateDatabase(NotesServices& notes, const NewDatabase& entry,
                       Made* made) {
  const std::string what = std::string("cannot create ") + entry.path;
  Status s = notes.CreateDatabase(entry.path, kDatabaseClass, false);
  if (!s.ok()) return StatusFailure(what, s);
  made->push_back(entry.path);
  Database db(notes);
  s = db.Open(entry.path);
  if (s.ok()) s = SetTitle(notes, db.handle(), entry.title);
  if (s.ok() && entry.defaultView) s = CreateDefaultView(notes, db.handle());
  if (!s.ok()) return StatusFailure(what, s);
  return Outcome();
}

// mail.box, mail2.box ... as the mail server names its mail boxes.
std::vector<std::string> MailboxNames(int count) {
  std::vector<std::string> names{"mail.box"};
  for (int i = 2; i <= count; ++i) {
    names.push_back("mail" + std::to_string(i) + ".box");
  }
  return names;
}

Status WriteConfigDocument(NotesServices& notes, DbHandle db,
                           const std::string& serverName,
                           const std::vector<std::string>& mailboxNames) {
  Note doc(notes);
  Status s = doc.Create(db);
  if (s.ok())
    s = notes.SetTextItem(doc.handle(), kItemForm, kConfigForm, 0xFFFF);
  if (s.ok()) {
    s = notes.SetTextItem(doc.handle(), kItemServerName, serverName.c_str(),
                          0xFFFF);
  }
  if (s.ok()) {
    const std::vector<uint8_t> mailboxes = item::EncodeTextList(mailboxNames);
    s = notes.AppendItem(doc.handle(), kItemFlagSummary, kItemMailboxNsf, 0,
                         kTypeTextList, mailboxes.data(),
                         static_cast<uint32_t>(mailboxes.size()));
  }
  if (s.ok()) s = notes.UpdateNote(doc.handle(), 0);
  return s;
}

Outcome CreateAdminDatabase(NotesServices& notes, const std::string& serverName,
                            const std::vector<std::string>& mailboxNames,
                            Made* made) {
  const std::string what = std::string("cannot create ") + kAdminDatabasePath;
  Status s = notes.CreateDatabase(kAdminDatabasePath, kDatabaseClass, false);
  if (!s.ok()) return StatusFailure(what, s);
  made->push_back(kAdminDatabasePath);
  Database db(notes);
  s = db.Open(kAdminDatabasePath);
  if (s.ok()) s = SetTitle(notes, db.handle(), kAdminTitle);
  if (s.ok()) s = CreateConfigView(notes, db.handle());
  if (s.ok()) {
    s = WriteConfigDocument(notes, db.handle(), serverName, mailboxNames);
  }
  if (!s.ok()) return StatusFailure(what, s);
  // The router will look the document up through the view: make sure it can.
  uint32_t noteId = 0;
  s = FindConfigNote(notes, db.handle(), serverName, &noteId);
  if (!s.ok()) {
    return StatusFailure("the new configuration document cannot be found", s);
  }
  return Outcome();
}

Outcome CreateDatabases(NotesServices& notes, const std::string& serverName,
                        int mailboxes, Made* made) {
  const std::vector<std::string> mailboxNames = MailboxNames(mailboxes);
  for (const std::string& name : mailboxNames) {
    const Outcome outcome =
        CreateDatabase(notes, {name.c_str(), kMailboxTitle, false}, made);
    if (!outcome.ok()) return outcome;
  }
  for (const NewDatabase& entry : kDatabases) {
    const Outcome outcome = CreateDatabase(notes, entry, made);
    if (!outcome.ok()) return outcome;
  }
  return CreateAdminDatabase(notes, serverName, mailboxNames, made);
}

// Databases in PostgreSQL outlive the folder being built: init starts only
// on a database that holds none.
Outcome CreateDatabasesOnPostgres(LocalNotesServices& notes,
                                  const std::string& serverName, int mailboxes,
                                  const std::string& uri, Made* made) {
  std::vector<std::string> held;
  const Status s = notes.ListDatabases({}, &held);
  if (!s.ok()) return StatusFailure("cannot use " + PrintableLocation(uri), s);
  if (!held.empty()) {
    return Outcome::Failure(PrintableLocation(uri) + " holds " +
                            std::to_string(held.size()) +
                            " databases already (" + held.front() +
                            " ...); init needs a PostgreSQL database of "
                            "its own for each server");
  }
  return CreateDatabases(notes, serverName, mailboxes, made);
}

// Removes the databases init made in PostgreSQL before it failed, through
// a server of their own (the folder being built may be gone); says what is
// left when that fails too.
Outcome TakeBack(Outcome failure, const std::string& serverName,
                 const std::string& uri, const Made& made) {
  if (made.empty()) return failure;
  BuildFolder scratch;
  Outcome outcome = scratch.Make(fs::temp_directory_path(), "vtserver-init");
  if (outcome.ok()) outcome = WriteServerIni(scratch.path(), serverName, uri);
  LocalNotesServicesOptions options;
  options.dataDirectory = scratch.path();
  options.echoToStdout = false;
  LocalNotesServices notes(options);
  const bool started = outcome.ok() && notes.Start().ok();
  std::string left;
  for (const std::string& path : made) {
    if (started && notes.RemoveDatabase(path.c_str()).ok()) continue;
    left.append(left.empty() ? "" : ", ").append(path);
  }
  if (left.empty()) return failure;
  return Outcome::Failure(failure.message() + "; left in " +
                          PrintableLocation(uri) +
                          " (remove them before trying again): " + left);
}

Outcome Populate(const fs::path& folder, const std::string& serverName,
                 int mailboxes, const std::string& databases, Made* made) {
  Outcome outcome = WriteServerIni(folder, serverName, databases);
  if (!outcome.ok()) return outcome;
  LocalNotesServicesOptions options;
  options.dataDirectory = folder;
  options.echoToStdout = false;
  LocalNotesServices notes(options);
  const Status s = notes.Start();
  if (!s.ok()) return StatusFailure("cannot use " + folder.string(), s);
  // The router looks itself up under the name it reads back from there.
  if (notes.serverIni().serverName() != serverName) {
    return Outcome::Failure("server.ini cannot hold the server name '" +
                            serverName + "'");
  }
  if (notes.serverIni().databases() != databases) {
    return Outcome::Failure("server.ini cannot hold the location '" +
                            PrintableLocation(databases) + "'");
  }
  if (databases.empty()) {
    return CreateDatabases(notes, serverName, mailboxes, made);
  }
  return CreateDatabasesOnPostgres(notes, serverName, mailboxes, databases,
                                   made);
}

// Moves what build holds into target, server.ini last: a directory without
// it is no data directory yet, whatever else a crash left there.
Outcome MoveIntoPlace(BuildFolder& build, const fs::path& target) {
  // As private as a directory init makes.
  if (::chmod(target.c_str(), 0700) != 0) {
    return Outcome::Failure("cannot make " + target.string() + " private");
  }
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(build.path(), ec)) {
    if (entry.path().filename() != "server.ini")
      entries.push_back(entry.path());
  }
  entries.push_back(build.path() / "server.ini");
  for (const fs::path& from : entries) {
    fs::rename(from, target / from.filename(), ec);
    if (ec) {
      return Outcome::Failure("cannot move " + from.string() + " into " +
                              target.string() + ": " + ec.message());
    }
    if (from.filename() == "server.ini") {
      if (!SyncFolder(target).ok()) {
        return Outcome::Failure("cannot sync " + target.string());
      }
    }
  }
  return Outcome();
}

}  // namespace

Outcome CheckServerName(const std::string& name) {
  if (name.empty()) return Outcome::Failure("the server name is empty");
  if (name.size() > kMaxServerName) {
    return Outcome::Failure("the server name is longer than " +
                            std::to_string(kMaxServerName) + " characters");
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) {
      return Outcome::Failure("the server name holds a control character");
    }
    // server.ini would read the rest as a comment.
    if (c == ';' && i > 0 && (name[i - 1] == ' ' || name[i - 1] == '\t')) {
      return Outcome::Failure("the server name holds a blank before ';'");
    }
  }
  if (name.front() == ' ' || name.back() == ' ') {
    return Outcome::Failure("the server name begins or ends with a blank");
  }
  return Outcome();
}

namespace {

Outcome Init(const std::string& dir, const std::string& serverName,
             int mailboxes, const std::string& databases, Made* made) {
  if (dir.empty()) return Outcome::Failure("no data directory given");
  if (mailboxes < 1 || mailboxes > kMaxInitMailboxes) {
    return Outcome::Failure("the number of mail boxes must be 1 to " +
                            std::to_string(kMaxInitMailboxes));
  }
  Outcome outcome = CheckServerName(serverName);
  if (!outcome.ok()) return outcome;
  if (!databases.empty() && !IsPostgresLocation(databases)) {
    return Outcome::Failure(
        "--databases takes a PostgreSQL URI "
        "(postgresql://...), not '" +
        databases + "'");
  }

  std::error_code ec;
  fs::path target = fs::absolute(dir, ec).lexically_normal();
  if (ec) return Outcome::Failure("cannot use " + dir);
  if (!target.has_filename()) target = target.parent_path();
  if (fs::exists(fs::symlink_status(target / "server.ini", ec))) {
    return Outcome::Failure(dir + " already holds server.ini; nothing changed");
  }
  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) {
      return Outcome::Failure(dir + " exists and is not a directory");
    }
    if (!fs::is_empty(target, ec) || ec) {
      return Outcome::Failure(dir +
                              " is not empty; init needs a new or empty "
                              "directory");
    }
  }
  const fs::path parent = target.parent_path();
  if (!fs::is_directory(parent, ec)) {
    return Outcome::Failure("cannot create " + dir + ": " + parent.string() +
                            " is not a directory");
  }

  const bool existing = fs::exists(status);
  BuildFolder build;
  outcome = build.Make(parent, target.filename().string());
  if (!outcome.ok() && existing) {
    // An empty directory made for this user in a folder it may not write
    // (/srv/mail1 in root's /srv): built inside, then moved up.
    outcome = build.Make(target, target.filename().string());
    if (!outcome.ok()) return outcome;
    outcome = Populate(build.path(), serverName, mailboxes, databases, made);
    if (!outcome.ok()) return outcome;
    return MoveIntoPlace(build, target);
  }
  if (!outcome.ok()) return outcome;
  outcome = Populate(build.path(), serverName, mailboxes, databases, made);
  if (!outcome.ok()) return outcome;
  // An empty folder in the way is replaced; anything else makes this fail.
  fs::rename(build.path(), target, ec);
  if (ec) {
    return Outcome::Failure("cannot create " + dir + ": " + ec.message());
  }
  build.Keep();
  // The new directory is in place either way; only its survival of a crash
  // is at stake.
  SyncFolder(parent).IgnoreError();
  return Outcome();
}

}  // namespace

Outcome InitDataDirectory(const std::string& dir, const std::string& serverName,
                          int mailboxes, const std::string& databases) {
  Made made;
  const Outcome outcome = Init(dir, serverName, mailboxes, databases, &made);
  if (outcome.ok() || databases.empty()) return outcome;
  return TakeBack(outcome, serverName, databases, made);
}

}  // namespace vt::tool

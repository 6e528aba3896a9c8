// `vtserver config DIR [--server NAME] [ITEM=VALUE ...]`: shows the
// server's configuration document, or sets items in it in one update.
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/ConfigAssignment.h"
#include "datadir/ConfigCheck.h"
#include "datadir/ConfigDocument.h"
#include "datadir/DataDir.h"
#include "datadir/ItemText.h"
#include "datadir/SaveLock.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::tool {
namespace {

Status Apply(NotesServices& notes, NoteHandle note, const ConfigAssignment& a) {
  const char* name = a.item.c_str();
  switch (a.kind) {
    case ConfigAssignment::Kind::kRemove:
      return notes.DeleteItem(note, name, 0);
    case ConfigAssignment::Kind::kText:
      return notes.SetTextItem(note, name, a.text.c_str(),
                               static_cast<uint16_t>(a.text.size()));
    case ConfigAssignment::Kind::kTextList: {
      const std::vector<uint8_t> value = item::EncodeTextList(a.list);
      Status s = notes.DeleteItem(note, name, 0);
      if (s.ok()) {
        s = notes.AppendItem(note, kItemFlagSummary, name, 0, kTypeTextList,
                             value.data(), static_cast<uint32_t>(value.size()));
      }
      return s;
    }
    case ConfigAssignment::Kind::kNumber: {
      const std::vector<uint8_t> value = item::EncodeNumber(a.number);
      Status s = notes.DeleteItem(note, name, 0);
      if (s.ok()) {
        s = notes.AppendItem(note, kItemFlagSummary, name, 0, kTypeNumber,
                             value.data(), static_cast<uint32_t>(value.size()));
      }
      return s;
    }
  }
  return err::kInvalidArgument;
}

class ConfigCommand : public DataDirCommand {
 public:
  ConfigCommand()
      : DataDirCommand("config",
                       "Print the server's configuration document, or set "
                       "items in it: A;B sets a text list, MaxQuarantineSize, "
                       "AlternateInterceptor and ReleaseMailMinutes take "
                       "numbers, ITEM= removes the item; a value the router "
                       "would not take as given is refused") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("ITEM=VALUE", arguments_, "items to set or remove");
    sub.add_option("--server", server_,
                   "whose document (default: the server's own name)");
    sub.add_flag("--force", force_,
                 "also write items the router does not read (the document "
                 "may carry items of other tasks)");
  }

  DataDirOptions Options() const override {
    // Printing reads only (a backup on read-only media, another user's
    // folder); setting items writes.
    return assignments_.empty() ? DataDirOptions::ReadOnly() : DataDirOptions();
  }

  Outcome CheckArguments() override {
    const Outcome parsed = ParseConfigAssignments(arguments_, &assignments_);
    if (!parsed.ok()) return parsed;
    return CheckConfigAssignments(assignments_, force_, &warnings_);
  }

  Outcome RunOn(LocalNotesServices& server) override {
    if (server_.empty()) {
      const Outcome outcome = OwnServerName(server, &server_);
      if (!outcome.ok()) return outcome;
    }
    return assignments_.empty() ? Print(server) : Update(server, assignments_);
  }

  Outcome Print(LocalNotesServices& server) {
    Database admin(server);
    uint32_t noteId = 0;
    Outcome outcome = OpenConfigDocument(server, server_, admin, &noteId);
    if (!outcome.ok()) return outcome;
    Note note(server);
    ServerAdmin::NoteContents contents;
    Status s = note.Open(admin.handle(), noteId);
    if (s.ok()) s = server.ReadNote(note.handle(), &contents);
    if (!s.ok())
      return StatusFailure("cannot open the configuration document", s);
    std::string text;
    for (const NoteItem& item : contents.items) {
      text.append(item.name);
      text.append(" = ");
      text.append(DisplayValue(item));
      text.push_back('\n');
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return Outcome();
  }

  Outcome Update(LocalNotesServices& server,
                 const std::vector<ConfigAssignment>& assignments) {
    Database admin(server);
    uint32_t noteId = 0;
    Outcome outcome = OpenConfigDocument(server, server_, admin, &noteId);
    if (!outcome.ok()) return outcome;
    PosixSystemServices system;
    system.SetReporter([](const std::string& text) {
      std::fprintf(stderr, "vtserver: %s\n", text.c_str());
    });
    ConfigSaveLock lock(system);
    outcome = lock.Acquire();
    if (!outcome.ok()) return outcome;
    // Read under the lock, so that what another writer saved is kept.
    Note note(server);
    Status s = note.Open(admin.handle(), noteId);
    if (!s.ok()) {
      return StatusFailure("cannot open the configuration document", s);
    }
    std::string done;
    for (const ConfigAssignment& a : assignments) {
      s = Apply(server, note.handle(), a);
      if (!s.ok()) {
        return StatusFailure("cannot set " + a.item + "; nothing written", s);
      }
      done.append(done.empty() ? "" : ", ");
      done.append(a.kind == ConfigAssignment::Kind::kRemove ? "removed "
                                                            : "set ");
      done.append(a.item);
    }
    s = server.UpdateNote(note.handle(), 0);
    if (!s.ok()) {
      return StatusFailure("cannot save the configuration document", s);
    }
    for (const std::string& warning : warnings_) {
      std::fprintf(stderr, "vtserver: warning: %s\n", warning.c_str());
    }
    std::printf("Configuration of %s: %s\n", server_.c_str(), done.c_str());
    return Outcome();
  }

  std::string server_;
  std::vector<std::string> arguments_;
  std::vector<ConfigAssignment> assignments_;
  std::vector<std::string> warnings_;
  bool force_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeConfigCommand() {
  return std::make_unique<ConfigCommand>();
}

}  // namespace vt::tool

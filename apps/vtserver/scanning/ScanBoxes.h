// The router's scan boxes as the scanner service sees them: the messages in
// them that wait for a verdict, each read whole, and the verdict saved into
// the very version that was scanned. The router may move, release or delete
// any message at any moment, so a message that changed or vanished since it
// was found is never written: it is found again, or it is gone.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "notes/HandleOwners.h"
#include "scanner/ScanItems.h"
#include "scanner/Verdict.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct PendingMessage {
  std::string box;  // the scan box's path
  uint32_t noteId = 0;
  uint32_t sequence = 0;  // the version found

  bool operator<(const PendingMessage& o) const {
    return box != o.box ? box < o.box : noteId < o.noteId;
  }
};

class ScanBoxes {
 public:
  explicit ScanBoxes(LocalNotesServices& server);
  ScanBoxes(const ScanBoxes&) = delete;
  ScanBoxes& operator=(const ScanBoxes&) = delete;

  // Reads the scan boxes' names from the configuration document and opens
  // those that exist (the router makes them when it starts). Boxes opened
  // before stay open.
  Outcome Refresh();
  // The same for boxes named here.
  Outcome Open(const std::vector<std::string>& names);
  const std::vector<std::string>& names() const { return names_; }

  // Every message of the configured boxes without VeltraneVerified "1".
  // A box that cannot be read is left out and named in *failure.
  Status Find(std::vector<PendingMessage>* pending, std::string* failure);
  // The message whole. kUpdateConflict when it changed or was verified
  // since it was found; kNoteDeleted (or kInvalidNote) when it is gone.
  Status Load(const PendingMessage& at, ServerAdmin::NoteContents* note);
  // VeltraneVerified "1", Kesto_Router and the evidence in one update of
  // the version found. kUpdateConflict, with nothing written, when somebody
  // saved it meanwhile (the router's release, another scanner).
  Status Save(const PendingMessage& at, scanner::Route route,
              const std::vector<scanner::ScanItem>& evidence);

 private:
  DbHandle HandleOf(const std::string& box) const;

  LocalNotesServices& server_;
  CompiledFormula unverified_;
  std::vector<std::string> names_;
  std::map<std::string, std::unique_ptr<Database>> open_;
};

}  // namespace vt::tool

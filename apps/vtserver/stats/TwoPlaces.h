// Messages that more than one database of a data directory holds. The router
// and a release move a message by copying it durably before they delete it
// where it was, so a move cut short (a crash, a failed deletion) or a copy of
// the data directory that caught one half done leaves it in two places. The
// router finishes most such moves on its next pass; `vtserver check` lists
// what is left, and its --repair finishes the rest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "quarantine/DatabaseRoles.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// One database's copy of a message, as it is now.
struct MessageCopy {
  std::string database;
  DatabaseRole role = DatabaseRole::kOther;
  uint32_t noteId = 0;
  uint32_t sequence = 0;  // its version
  std::string verified;   // VeltraneVerified
  std::string verdict;    // Kesto_Router
  std::string released;   // VTAdminReleased
};

struct MessageInTwoPlaces {
  UniversalId unid{};
  std::vector<MessageCopy> copies;  // by database path
};

// The copy of unid that the database db holds; kNotFound when it holds
// none (or only a deletion stub).
Status ReadCopy(LocalNotesServices& server, DbHandle db,
                const UniversalId& unid, MessageCopy* copy);

// Collects the documents of one summary scan of each database, a universal
// ID, a database and a note ID each, so that the whole data directory fits
// in little memory.
class TwoPlacesFinder {
 public:
  // The documents added from now on are those of path.
  void StartDatabase(const std::string& path);
  void Add(const ServerAdmin::Document& document);

  // The messages seen in more than one database, each read again where it
  // was seen: the databases were scanned one after another, and one the
  // router moved on between two scans is in one place after all. What
  // cannot be read again is left out.
  std::vector<MessageInTwoPlaces> Finish(LocalNotesServices& server,
                                         const DatabaseRoles& roles);

 private:
  struct Seen {
    UniversalId unid{};
    uint32_t database = 0;
  };
  std::vector<std::string> databases_;
  std::vector<Seen> seen_;
};

// The text of a copy for a person: "version 3, VeltraneVerified \"1\",
// Kesto_Router \"M\"".
std::string CopyText(const MessageCopy& copy);

}  // namespace vt::tool

// The store behind a LocalNotesServices' handles, for tests and benchmarks
// that check what the store holds or make it misbehave; the server's tools
// use ServerAdmin instead.
#pragma once

#include "server/LocalNotesServices.h"

namespace vt {

class LocalStoreAccess {
 public:
  static store::NsfDatabase* Database(const LocalNotesServices& server,
                                      DbHandle db) {
    return server.Database(db);
  }
  static store::NoteRecord* Note(const LocalNotesServices& server,
                                 NoteHandle note) {
    return server.Note(note);
  }
  static store::FileNames& FileNames(const LocalNotesServices& server) {
    return server.fileNames();
  }
};

}  // namespace vt

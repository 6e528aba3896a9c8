// What the databases of a server hold, as `ls` and the demonstration show
// it: every database with its title and number of documents, and the
// routing items of the documents of one database.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct DatabaseSummary {
  std::string path;  // relative to the data directory, '/' separators
  std::string title;
  uint32_t documents = 0;
  std::string problem;  // why it could not be read; empty when it could
};

struct DocumentSummary {
  uint32_t noteId = 0;
  std::vector<NoteItem> items;  // those of kListedItems it has, in order
};

// The database files under root (see DataDirectory::DatabaseFiles).
std::vector<std::string> DatabaseFiles(const std::filesystem::path& root);

// Over StoredDatabases; a server that could not be listed is one entry
// "server!!" with the reason.
std::vector<DatabaseSummary> SummarizeDatabases(LocalNotesServices& server);

// The documents of one database; a document deleted while being read is
// left out.
Outcome ReadDocuments(LocalNotesServices& server, const std::string& path,
                      std::vector<DocumentSummary>* documents);

// Where the messages of this server are now, by VTMessageId: every database
// holding each, with what it holds of it. A database that cannot be read
// right now (the router may be making it) is passed over.
struct Sighting {
  std::string path;
  DocumentSummary document;
};
using Sightings = std::map<std::string, std::vector<Sighting>>;
// Over StoredDatabases.
Sightings LocateMessages(LocalNotesServices& server);

// This server's databases, then those of every server whose [Servers] entry
// names a PostgreSQL database (as "server!!path"): the databases messages
// can be in, wherever they are stored. A server that could not be listed
// (out of reach) is added to *unlisted when given.
struct UnlistedServer {
  std::string name;
  Status status;
};
std::vector<std::string> StoredDatabases(
    const LocalNotesServices& server,
    std::vector<UnlistedServer>* unlisted = nullptr);

// The text value of an item of the summary, empty when absent.
std::string ItemValue(const DocumentSummary& document, const char* name);

}  // namespace vt::tool

// server.ini at the root of a data directory: the server's name, the other
// servers reachable by network path, and the mail rules of its mail boxes.
//
//   ServerName=CN=Mail1/O=Example
//   Databases=postgresql:///vtmail1 (optional: this server's own databases
//                                    live there, not in this directory)
//   [Servers]
//   Mail2/Example=../mail2        (relative to this data directory)
//   [MailRules]
//   NoZip=@Contains(Subject; ".zip")
//   [Scanner]
//   Spamd=127.0.0.1:783           (the engines the scanner and learning use)
//
// Read with inih, which splits at the first '=' so values keep theirs. Its
// limits apply: a ';' after a blank starts a comment, and a line may hold at
// most 196 characters; a longer rule is written on indented continuation
// lines, which are joined with a blank. An over-long line is skipped, never
// cut, and reported.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notes/Status.h"

namespace vt {

// Whether a location (a [Servers] entry's, or Databases=) names a
// PostgreSQL database rather than a folder: a libpq URI, postgresql://...
// or postgres://...
inline bool IsPostgresLocation(std::string_view location) {
  return location.starts_with("postgresql://") ||
         location.starts_with("postgres://");
}

// A location as it may be shown: a PostgreSQL URI's password (user:...@,
// or password=...) is replaced by "***".
std::string PrintableLocation(std::string_view location);

struct ServerEntry {
  std::string name;       // as written: abbreviated, canonical or common
  std::string directory;  // as written: a folder, or a PostgreSQL URI
};

struct MailRule {
  std::string name;
  std::string formula;
};

class ServerIni {
 public:
  // kNoDataDirectory when the file does not exist or cannot be read.
  static Status Load(const std::filesystem::path& file, ServerIni* out);
  // The same from text, for tests and for the administration tool.
  static Status Parse(std::string_view text, ServerIni* out);

  const std::string& serverName() const { return serverName_; }
  // The layout of the data directory's databases, written by `vtserver init`
  // and `vtserver upgrade`: 0 when not given (a directory made before it
  // was recorded), -1 when it is not a positive number.
  int dataFormat() const { return dataFormat_; }
  // Where this server's own databases live: empty for this data directory,
  // else as written (a PostgreSQL URI).
  const std::string& databases() const { return databases_; }
  const std::vector<ServerEntry>& servers() const { return servers_; }
  const std::vector<MailRule>& mailRules() const { return mailRules_; }
  // The [Scanner] section's name and value pairs, as written.
  const std::vector<std::pair<std::string, std::string>>& scanner() const {
    return scanner_;
  }
  // The [Servers] entry naming that server in any spelling, or null.
  const ServerEntry* FindServer(std::string_view name) const;
  // Line numbers that could not be read (syntax errors, over-long lines).
  const std::vector<int>& badLines() const { return badLines_; }

 private:
  static int Handler(void* user, const char* section, const char* name,
                     const char* value);
  void Add(std::string_view section, std::string_view name,
           std::string_view value);

  std::string serverName_;
  int dataFormat_ = 0;
  std::string databases_;
  std::vector<ServerEntry> servers_;
  std::vector<MailRule> mailRules_;
  std::vector<std::pair<std::string, std::string>> scanner_;
  std::vector<int> badLines_;
};

}  // namespace vt

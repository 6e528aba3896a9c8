// Reading the configuration document through ServerConfig, quietly.
#include "datadir/RouterSettings.h"

#include <cctype>
#include <cstdarg>

#include "config/AdminDbLocation.h"
#include "config/ServerConfig.h"
#include "databases/DatabaseName.h"
#include "notes/FixedText.h"
#include "notes/NotesServicesWrapper.h"
#include "server/ServerNames.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::tool {
namespace {

// Keeps the reader's log lines to itself: an administrator's query is no
// event in the server's life.
class QuietNotes : public NotesServicesWrapper {
 public:
  using NotesServicesWrapper::NotesServicesWrapper;

  void LogMessageV(const char* format, Status status, va_list args) override {
    FixedText<1024> text;
    if (format != nullptr) FormatBoundedV(text.span(), format, args);
    lastLine_ = std::string(text.view());
    if (!status.ok()) lastLine_ += " (" + StatusMessage(status) + ")";
  }

  const std::string& lastLine() const { return lastLine_; }

 private:
  std::string lastLine_;
};

}  // namespace

std::string ToolPath(LocalNotesServices& server, const char* configured,
                     const std::string& path) {
  // This server under its own name is this server: its files are listed
  // by their paths alone.
  if (configured != nullptr &&
      NameMatches(server.serverIni().serverName(), configured)) {
    return path;
  }
  FixedText<kNetPathSize> name;
  if (!BuildDatabaseName(server, configured, path.c_str(), name.span()).ok()) {
    return path;
  }
  return std::string(name.view());
}

Outcome ReadRouterSettings(LocalNotesServices& server,
                           RouterSettings* settings) {
  QuietNotes quiet(server);
  PosixSystemServices system;
  ServerConfig config(quiet, system, kDefaultAdminServer, kDefaultAdminPath);
  const Status s = config.Read();
  if (!s.ok()) {
    std::string what = "cannot read the router's configuration";
    if (!quiet.lastLine().empty()) what += " (" + quiet.lastLine() + ")";
    return StatusFailure(what, s);
  }
  // Named as the router names them: on another server, "server!!path".
  settings->mailBoxes.clear();
  for (const std::string& box : config.mailboxNames) {
    settings->mailBoxes.push_back(
        ToolPath(server, config.mailboxServer.c_str(), box));
  }
  settings->scanBoxes.clear();
  for (const std::string& box : config.scanBoxNames) {
    settings->scanBoxes.push_back(
        ToolPath(server, config.scanningServer.c_str(), box));
  }
  const auto perimeter = [&](char letter, const FixedText<kServerNameSize>& on,
                             const FixedText<kPathSize>& path,
                             const char* title) {
    // An empty path stays empty: the perimeter has no quarantine.
    return PerimeterSettings{
        letter,
        path.view().empty()
            ? std::string()
            : ToolPath(server, on.c_str(), std::string(path.view())),
        title};
  };
  settings->perimeters = {perimeter('B', config.quarantineServerB,
                                    config.quarantinePathB, "Perimeter 'B'"),
                          perimeter('C', config.quarantineServerC,
                                    config.quarantinePathC, "Perimeter 'C'"),
                          perimeter('D', config.quarantineServerD,
                                    config.quarantinePathD, "Perimeter 'D'")};
  settings->maxQuarantineBytes = config.maxQuarantineBytes;
  settings->processingMode = config.processingMode;
  // As the router judges it: 1 alone intercepts held mail; 2 and every
  // other value mean marked mail.
  settings->alternateInterceptor = config.alternateInterceptor == 1;
  return Outcome();
}

const PerimeterSettings* FindPerimeter(const RouterSettings& settings,
                                       char letter) {
  const char upper =
      static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (const PerimeterSettings& p : settings.perimeters) {
    if (p.letter == upper) return &p;
  }
  return nullptr;
}

}  // namespace vt::tool

// A fresh data directory for one test: a temporary folder with a server.ini,
// removed with everything in it when the test ends, and servers over it.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "server/Clock.h"
#include "server/LocalNotesServices.h"

namespace vt {

class TempDataDir {
 public:
  static constexpr std::string_view kDefaultServer = "CN=Mail1/O=Example";

  // server.ini holds ServerName=serverName, then extraIni as written.
  explicit TempDataDir(std::string_view serverName = kDefaultServer,
                       std::string_view extraIni = {});
  TempDataDir(const TempDataDir&) = delete;
  TempDataDir& operator=(const TempDataDir&) = delete;
  ~TempDataDir();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path File(std::string_view relative) const;
  // Replaces server.ini with exactly this text.
  void WriteIni(std::string_view text) const;

  // A started server over this directory that does not echo its log to
  // standard output. On a start failure the test fails and null returns.
  std::unique_ptr<LocalNotesServices> MakeServer(Clock* clock = nullptr) const;

 private:
  std::filesystem::path path_;
};

}  // namespace vt

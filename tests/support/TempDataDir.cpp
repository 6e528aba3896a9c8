// Temporary data directories for tests of the embedded server and of the
// router over it.
#include "support/TempDataDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

namespace vt {

namespace fs = std::filesystem;

TempDataDir::TempDataDir(std::string_view serverName,
                         std::string_view extraIni) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "vtdata-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary data directory in " << base;
    return;
  }
  path_ = fs::canonical(pattern, ec);
  if (ec) path_ = pattern;
  std::string ini = "ServerName=";
  ini.append(serverName);
  ini.append("\n");
  ini.append(extraIni);
  WriteIni(ini);
}

TempDataDir::~TempDataDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests make read-only folders and links; removal must not follow links.
  fs::remove_all(path_, ec);
}

fs::path TempDataDir::File(std::string_view relative) const {
  return path_ / fs::path(relative);
}

void TempDataDir::WriteIni(std::string_view text) const {
  std::ofstream out(path_ / "server.ini", std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) ADD_FAILURE() << "cannot write server.ini in " << path_;
}

std::unique_ptr<LocalNotesServices> TempDataDir::MakeServer(
    Clock* clock) const {
  LocalNotesServicesOptions options;
  options.dataDirectory = path_;
  options.clock = clock;
  options.echoToStdout = false;
  auto server = std::make_unique<LocalNotesServices>(options);
  const Status s = server->Start();
  if (!s.ok()) {
    ADD_FAILURE() << "server over " << path_ << " did not start: 0x" << std::hex
                  << s.value();
    return nullptr;
  }
  return server;
}

}  // namespace vt

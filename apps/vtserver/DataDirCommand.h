// The commands that work on an existing data directory share their opening
// steps here, as RocksDB's ldb commands share theirs: DIR as the first
// argument, the checks of their own arguments, the data directory opened
// with one clear line when it cannot be, then the command's own work.
#pragma once

#include <string>

#include "Command.h"
#include "datadir/DataDir.h"
#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

class DataDirCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) final;
  int Run() final;

 protected:
  DataDirCommand(const char* name, const char* description)
      : name_(name), description_(description) {}

  // Adds the command's arguments after DIR.
  virtual void AddArguments(CLI::App& sub) = 0;
  // Checks made before the data directory is opened.
  virtual Outcome CheckArguments() { return Outcome(); }
  virtual Outcome RunOn(LocalNotesServices& server) = 0;
  // Called with how the whole run went, failed or not, before it is
  // reported: a command may leave its output saying so.
  virtual Outcome Finish(Outcome outcome) { return outcome; }
  // How the data directory is opened; read after CheckArguments.
  virtual DataDirOptions Options() const { return DataDirOptions(); }

  const std::string& dir() const { return dir_; }

  // For a command that runs as a service (smtp, scanner): the server's
  // runtime over DIR, which takes the signals as the router's does (SIGTERM
  // and SIGINT end it, SIGHUP and SIGUSR1 reopen the log), until
  // StopRuntime.
  Outcome StartServiceRuntime(LocalNotesServices& server) const;

 private:
  const char* name_;
  const char* description_;
  std::string dir_;
};

// A service's own status line, where `vtserver show`, stats and the web
// console read it: written when its text changes, deleted when the service
// ends.
class ServiceStatusLine {
 public:
  ServiceStatusLine(LocalNotesServices& server, const char* name);
  ~ServiceStatusLine();
  ServiceStatusLine(const ServiceStatusLine&) = delete;
  ServiceStatusLine& operator=(const ServiceStatusLine&) = delete;

  void Show(const std::string& text);

 private:
  LocalNotesServices& server_;
  ModuleHandle module_;
  StatusLineHandle defaultLine_;
  StatusLineHandle line_;
  std::string shown_;
};

}  // namespace vt::tool

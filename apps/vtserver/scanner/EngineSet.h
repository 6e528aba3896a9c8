// The engines one data directory's scanner asks, configured once for the
// scanner service and for learning alike: server.ini's [Scanner] section,
// which command-line options may override.
//
//   [Scanner]
//   Rspamd=http://127.0.0.1:11333        rspamd's normal worker
//   RspamdController=http://127.0.0.1:11334
//   RspamdPassword=...                   the controller's, for learning
//   Spamd=127.0.0.1:783                  or a Unix socket's path
//   SpamdUser=vtrouter                   whose Bayes data spamd uses
//   Clamd=/run/clamav/clamd.ctl          or HOST:PORT
//   Timeout=30                           seconds a message may take
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scanner/ClamdClient.h"
#include "scanner/EngineResult.h"
#include "scanner/RspamdClient.h"
#include "scanner/ScanRequest.h"
#include "scanner/SpamdClient.h"

namespace vt::scanner {

struct EngineSettings {
  std::optional<RspamdOptions> rspamd;
  std::optional<SpamdOptions> spamd;
  std::optional<ClamdOptions> clamd;
  std::chrono::seconds timeout{30};

  bool empty() const { return !rspamd && !spamd && !clamd; }
};

// Applies one setting (a [Scanner] line or the option of the same name);
// the error's text, or "" when it was taken.
std::string ApplyEngineSetting(std::string_view name, std::string_view value,
                               EngineSettings* settings);

// Every pair in turn; the first error, naming the setting, or "".
std::string ApplyEngineSettings(
    const std::vector<std::pair<std::string, std::string>>& pairs,
    EngineSettings* settings);

struct Learning {
  Engine engine = Engine::kRspamd;
  LearnOutcome outcome;
};

// The clients of the configured engines. Scan and Learn may be called from
// several threads at once: each call has connections of its own.
class EngineSet {
 public:
  explicit EngineSet(const EngineSettings& settings);
  EngineSet(const EngineSet&) = delete;
  EngineSet& operator=(const EngineSet&) = delete;

  // rspamd, spamd, clamd: those configured, in that order.
  std::vector<Engine> engines() const;
  // "rspamd at http://127.0.0.1:11333", for the log.
  std::string Describe(Engine engine) const;

  // Every configured engine's answer, in engines() order.
  std::vector<EngineOutcome> Scan(const ScanRequest& request) const;
  // Trains the engines that learn (rspamd on its controller, spamd by
  // TELL); clamd does not learn.
  std::vector<Learning> Learn(const ScanRequest& request, bool spam) const;
  bool learns() const { return rspamd_ || spamd_; }

  std::chrono::seconds timeout() const { return timeout_; }

 private:
  std::optional<RspamdClient> rspamd_;
  std::optional<SpamdClient> spamd_;
  std::optional<ClamdClient> clamd_;
  std::chrono::seconds timeout_;
};

}  // namespace vt::scanner

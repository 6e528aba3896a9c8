// Reading the engines' settings, and asking every configured engine in turn.
#include "scanner/EngineSet.h"

#include <charconv>

#include "base/Ascii.h"

namespace vt::scanner {
namespace {

bool IsUrl(std::string_view text) {
  return (text.starts_with("http://") || text.starts_with("https://")) &&
         text.find_first_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

std::string ApplyEngineSetting(std::string_view name, std::string_view value,
                               EngineSettings* settings) {
  const std::string shown = std::string(name) + "=" + std::string(value);
  if (EqualsIgnoreCase(name, "Rspamd")) {
    if (!IsUrl(value)) return shown + ": not an http:// URL";
    if (!settings->rspamd) settings->rspamd.emplace();
    settings->rspamd->url = std::string(value);
    return "";
  }
  if (EqualsIgnoreCase(name, "RspamdController")) {
    if (!IsUrl(value)) return shown + ": not an http:// URL";
    if (!settings->rspamd) settings->rspamd.emplace();
    settings->rspamd->controllerUrl = std::string(value);
    return "";
  }
  if (EqualsIgnoreCase(name, "RspamdPassword")) {
    if (!settings->rspamd) settings->rspamd.emplace();
    settings->rspamd->password = std::string(value);
    return "";
  }
  if (EqualsIgnoreCase(name, "Spamd")) {
    const std::optional<Endpoint> endpoint = ParseEndpoint(value, 783);
    if (!endpoint) return shown + ": not HOST:PORT or a socket's path";
    if (!settings->spamd) settings->spamd.emplace();
    settings->spamd->endpoint = *endpoint;
    return "";
  }
  if (EqualsIgnoreCase(name, "SpamdUser")) {
    if (!settings->spamd) settings->spamd.emplace();
    settings->spamd->user = std::string(value);
    return "";
  }
  if (EqualsIgnoreCase(name, "Clamd")) {
    const std::optional<Endpoint> endpoint = ParseEndpoint(value, 3310);
    if (!endpoint) return shown + ": not HOST:PORT or a socket's path";
    if (!settings->clamd) settings->clamd.emplace();
    settings->clamd->endpoint = *endpoint;
    return "";
  }
  if (EqualsIgnoreCase(name, "Timeout")) {
    int seconds = 0;
    const auto [end, ec] =
        std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() ||
        seconds < 1 || seconds > 3600) {
      return shown + ": not a number of seconds from 1 to 3600";
    }
    settings->timeout = std::chrono::seconds(seconds);
    return "";
  }
  return shown +
         ": not a setting of the scanner (Rspamd, RspamdController, "
         "RspamdPassword, Spamd, SpamdUser, Clamd, Timeout)";
}

std::string ApplyEngineSettings(
    const std::vector<std::pair<std::string, std::string>>& pairs,
    EngineSettings* settings) {
  for (const auto& [name, value] : pairs) {
    std::string error = ApplyEngineSetting(name, value, settings);
    if (!error.empty()) return error;
  }
  return "";
}

EngineSet::EngineSet(const EngineSettings& settings)
    : timeout_(settings.timeout) {
  if (settings.rspamd) rspamd_.emplace(*settings.rspamd);
  if (settings.spamd) spamd_.emplace(*settings.spamd);
  if (settings.clamd) clamd_.emplace(*settings.clamd);
}

std::vector<Engine> EngineSet::engines() const {
  std::vector<Engine> engines;
  if (rspamd_) engines.push_back(Engine::kRspamd);
  if (spamd_) engines.push_back(Engine::kSpamd);
  if (clamd_) engines.push_back(Engine::kClamd);
  return engines;
}

std::string EngineSet::Describe(Engine engine) const {
  std::string where;
  switch (engine) {
    case Engine::kRspamd:
      where = rspamd_ ? rspamd_->options().url : "";
      break;
    case Engine::kSpamd:
      where = spamd_ ? spamd_->options().endpoint.Text() : "";
      break;
    case Engine::kClamd:
      where = clamd_ ? clamd_->options().endpoint.Text() : "";
      break;
  }
  return std::string(EngineName(engine)) + " at " + where;
}

std::vector<EngineOutcome> EngineSet::Scan(const ScanRequest& request) const {
  std::vector<EngineOutcome> outcomes;
  // Every engine is asked even when one has decided already (a virus), so
  // that the evidence kept with the verdict is whole.
  if (rspamd_) outcomes.push_back(rspamd_->Scan(request));
  if (spamd_) outcomes.push_back(spamd_->Scan(request));
  if (clamd_) outcomes.push_back(clamd_->Scan(request));
  return outcomes;
}

std::vector<Learning> EngineSet::Learn(const ScanRequest& request,
                                       bool spam) const {
  std::vector<Learning> learnt;
  if (rspamd_) {
    learnt.push_back({Engine::kRspamd, rspamd_->Learn(request, spam)});
  }
  if (spamd_) {
    learnt.push_back({Engine::kSpamd, spamd_->Learn(request, spam)});
  }
  return learnt;
}

}  // namespace vt::scanner

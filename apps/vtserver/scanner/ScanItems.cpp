// Scores with two decimals, symbols as "engine:NAME(score)", bounded so that
// a message hit by hundreds of rules still gets items of a sane size.
#include "scanner/ScanItems.h"

#include <array>
#include <ctime>

namespace vt::scanner {
namespace {

constexpr size_t kMaxSymbols = 200;
constexpr size_t kMaxSymbolText = 120;

std::string UtcText(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::array<char, 32> text{};
  const size_t size =
      std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text.data(), size);
}

}  // namespace

std::vector<ScanItem> ScanItems(const std::vector<EngineResult>& results,
                                const ScanTiming& timing) {
  ScanItem engines{kItemScanEngine, {}, true};
  ScanItem scores{kItemScanScore, {}, true};
  ScanItem required{kItemScanRequired, {}, true};
  ScanItem actions{kItemScanAction, {}, true};
  ScanItem symbols{kItemScanSymbols, {}, true};
  ScanItem viruses{kItemScanVirus, {}, true};
  for (const EngineResult& result : results) {
    const std::string engine(EngineName(result.engine));
    engines.values.push_back(engine);
    scores.values.push_back(ScoreText(result.score));
    required.values.push_back(ScoreText(result.requiredScore));
    actions.values.push_back(OneLine(result.action, kMaxSymbolText));
    if (!result.virus.empty()) {
      viruses.values.push_back(OneLine(result.virus, kMaxSymbolText));
    }
    for (const Symbol& symbol : result.symbols) {
      if (symbols.values.size() >= kMaxSymbols) break;
      std::string entry = engine + ":" + symbol.name;
      if (symbol.score) entry += "(" + ScoreText(symbol.score) + ")";
      symbols.values.push_back(OneLine(entry, kMaxSymbolText));
    }
  }
  std::vector<ScanItem> items{engines, scores, required, actions, symbols};
  if (!viruses.values.empty()) items.push_back(viruses);
  items.push_back(ScanItem{kItemScanTime, {UtcText(timing.finished)}, false});
  items.push_back(
      ScanItem{kItemScanMillis, {std::to_string(timing.took.count())}, false});
  return items;
}

}  // namespace vt::scanner

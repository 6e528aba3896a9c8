// The recipients are read back with the listener's own parser, so that an
// address is shown as the MTA gave it.
#include "quarantine/MessageFacts.h"

#include <cmath>

#include "databases/MailItems.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/SmtpCommand.h"

namespace vt::tool {
namespace {

std::string At(const std::vector<std::string>& values, size_t i) {
  return i < values.size() ? values[i] : std::string();
}

}  // namespace

ScanEvidence ScanEvidenceOf(const std::vector<NoteItem>& items) {
  ScanEvidence scan;
  const auto list = [&](const char* name) {
    return ItemTextList(FindItem(items, name));
  };
  const std::vector<std::string> engines = list(kItemScanEngine);
  const std::vector<std::string> scores = list(kItemScanScore);
  const std::vector<std::string> required = list(kItemScanRequired);
  const std::vector<std::string> actions = list(kItemScanAction);
  const std::vector<std::string> viruses = list(kItemScanVirus);
  for (size_t i = 0; i < engines.size(); ++i) {
    scan.engines.push_back(
        {engines[i], At(scores, i), At(required, i), At(actions, i), "", {}});
  }
  // Only clamd finds viruses, and only its findings are listed.
  size_t virus = 0;
  for (EngineEvidence& engine : scan.engines) {
    if (engine.engine == "clamd" && virus < viruses.size()) {
      engine.virus = viruses[virus++];
    }
  }
  for (const std::string& symbol : list(kItemScanSymbols)) {
    const size_t colon = symbol.find(':');
    for (EngineEvidence& engine : scan.engines) {
      if (colon != std::string::npos &&
          symbol.compare(0, colon, engine.engine) == 0) {
        engine.rules.push_back(symbol.substr(colon + 1));
        break;
      }
    }
  }
  scan.time = ItemText(FindItem(items, kItemScanTime));
  scan.millis = ItemText(FindItem(items, kItemScanMillis));
  return scan;
}

std::string ScoreSummary(const ScanEvidence& scan) {
  std::string text;
  for (const EngineEvidence& engine : scan.engines) {
    const std::string& shown =
        engine.virus.empty() ? engine.score : engine.virus;
    if (shown.empty()) continue;
    if (!text.empty()) text += ", ";
    text += engine.engine + " " + shown;
  }
  return text;
}

std::vector<std::string> RecipientsOf(const std::vector<NoteItem>& items) {
  const std::vector<std::string> arguments =
      ItemTextList(FindItem(items, smtp::kItemSmtpRcpt));
  if (arguments.empty()) return ItemTextList(FindItem(items, kItemSendTo));
  std::vector<std::string> recipients;
  for (const std::string& argument : arguments) {
    smtp::RcptCommand rcpt;
    if (!smtp::ParseRcpt(argument, true, smtp::PathLimits(), &rcpt)) {
      recipients.push_back(rcpt.forwardPath);
    } else {
      // Kept as it came: the listener took it, so show it rather than
      // nothing.
      recipients.push_back(argument.rfind("TO:", 0) == 0 ? argument.substr(3)
                                                         : argument);
    }
  }
  return recipients;
}

std::optional<uint64_t> MessageSizeOf(const std::vector<NoteItem>& items) {
  if (const NoteItem* size = FindItem(items, kItemSmtpSize)) {
    const double bytes = ItemNumber(size);
    if (bytes >= 0 && std::isfinite(bytes)) return static_cast<uint64_t>(bytes);
  }
  if (const NoteItem* message = FindItem(items, smtp::kItemSmtpMessage)) {
    return message->value.size();
  }
  return std::nullopt;
}

}  // namespace vt::tool

// What a reviewer wants to know of a quarantined message beside From and
// Subject, read from its items: whom it was for, how large it is, and why it
// was quarantined (the scanner's evidence, one entry per engine). Every one
// of these comes from summary items, so a listing of a large quarantine
// reads them in its scan without opening a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "notes/NoteItem.h"
#include "scanner/ScanItems.h"
#include "server/smtp/MessageIntake.h"

namespace vt::tool {

// The scanner's evidence and the listener's size, named where they are
// written.
using scanner::kItemScanAction;
using scanner::kItemScanEngine;
using scanner::kItemScanMillis;
using scanner::kItemScanRequired;
using scanner::kItemScanScore;
using scanner::kItemScanSymbols;
using scanner::kItemScanTime;
using scanner::kItemScanVirus;
using smtp::kItemSmtpSize;

struct EngineEvidence {
  std::string engine;  // "rspamd", "spamd", "clamd"
  std::string score;   // as the scanner wrote it; "" for none
  std::string required;
  std::string action;
  std::string virus;
  std::vector<std::string> rules;  // "GTUBE(0.00)", without the engine
};

struct ScanEvidence {
  std::vector<EngineEvidence> engines;
  std::string time;    // when the scan ended, UTC
  std::string millis;  // how long it took
  bool empty() const { return engines.empty(); }
};

ScanEvidence ScanEvidenceOf(const std::vector<NoteItem>& items);

// "rspamd 15.00, spamd 1000.0, clamd Eicar-Test-Signature": the scores (or
// what clamd found) in little room; "" when the message was never scanned.
std::string ScoreSummary(const ScanEvidence& scan);

// The envelope's recipients the listener kept (VTSmtpRcpt), or for mail
// that never came over SMTP its SendTo.
std::vector<std::string> RecipientsOf(const std::vector<NoteItem>& items);

// The message's size in bytes: VTSmtpSize, or with the whole note at hand
// the bytes of VTSmtpMessage; nullopt when neither is there.
std::optional<uint64_t> MessageSizeOf(const std::vector<NoteItem>& items);

}  // namespace vt::tool

// The state the router keeps for its whole life: configuration, open mail
// boxes, scan boxes and quarantines, the compiled selection formulas and the
// working ID table. The task main owns one engine; the engine owns
// everything in it, and its destructor releases whatever is still held.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "config/ServerConfig.h"
#include "databases/EarlierQuarantines.h"
#include "databases/MailDatabase.h"
#include "databases/ScanBoxCollection.h"
#include "engine/MessageCounts.h"
#include "engine/SelectionFormula.h"
#include "log/FailureEpisodes.h"
#include "notes/FixedText.h"
#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

inline constexpr uint32_t kEngineConfigCreated = 0x04;
inline constexpr uint32_t kEngineIdTableCreated = 0x100;
inline constexpr int kMaxMailboxes = 10;
inline constexpr size_t kVersionTextSize = 30;

struct RouterEngine {
  RouterEngine(NotesServices& notesServices, SystemServices& systemServices)
      : notes(notesServices), system(systemServices) {}
  ~RouterEngine();
  RouterEngine(const RouterEngine&) = delete;
  RouterEngine& operator=(const RouterEngine&) = delete;

  NotesServices& notes;
  SystemServices& system;

  uint32_t stateFlags = 0;
  MutexHandle instanceMutex;
  ModuleHandle moduleHandle;
  int32_t reinitRequested = 0;
  int32_t releaseEnabled = 0;
  IdTableHandle idTable;
  int32_t openMailboxCount = 0;
  std::array<DbHandle, kMaxMailboxes> mailboxHandles{};
  std::unique_ptr<ScanBoxCollection> scanBoxes;
  std::unique_ptr<MailDatabase> quarantineB;
  std::unique_ptr<MailDatabase> quarantineC;
  std::unique_ptr<MailDatabase> quarantineD;
  // Of B, C and D in this order: the files each rolled over from last.
  std::array<EarlierQuarantines, 3> earlierQuarantines;
  std::unique_ptr<ServerConfig> config;
  std::array<std::unique_ptr<SelectionFormula>, kFormulaSlots> formulas;
  FixedText<kVersionTextSize> versionText;
  // A full disk is logged once per episode, not once per message and pass.
  FailureEpisodes failureEpisodes;
};

// Acquires everything in order; 1 at the first failure (what was acquired
// stays for ShutdownEngine), 0 on success.
int StartEngine(RouterEngine& engine);
// Releases whatever the engine holds; safe after a partial start and twice.
void ShutdownEngine(RouterEngine& engine);

// Compiles slot 7 for the configured release time.
Status CompileReleaseFormula(RouterEngine& engine);

// One processing pass: re-initialisation, or quarantine check, delivery,
// interception, hold removal and (once enabled) release.
int RunProcessingPass(RouterEngine& engine, MessageCounts* totals);
void CloseMailBoxes(RouterEngine& engine);
void CloseQuarantines(RouterEngine& engine);

// Verified messages back in a mail box lose their HOLD state. 0 when it
// walked the mail boxes, 1 when it had nothing to do or no ID table.
int RemoveHoldState(RouterEngine& engine);
// Unverified messages older than the release time are marked as verified
// ordinary mail. 0 when it walked the scan boxes, 1 when release is off.
int ReleaseUnscannedMessages(RouterEngine& engine);

}  // namespace vt

// One processing pass over all the engine's databases, in a fixed order:
// re-initialisation when the configuration changed, otherwise quarantine
// roll-over, delivery, interception, hold removal and release.
#include "engine/EngineDatabases.h"
#include "engine/MessageMover.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

// Closes and reopens every database and recompiles the release formula.
// Nothing is moved in such a pass.
void Reinitialize(RouterEngine& engine) {
  ServerConfig& config = *engine.config;
  engine.reinitRequested = 0;
  CloseMailBoxes(engine);
  if (OpenMailBoxes(engine) == 0) {
    config.processingMode = 0;
    return;
  }
  if (OpenScanBoxes(engine) == 0) {
    config.processingMode = 0;
    return;
  }
  CloseQuarantines(engine);
  if (!OpenQuarantines(engine).ok()) {
    config.processingMode = 0;
    return;
  }
  ReportDatabasesInTwoRoles(engine);
  SelectionFormula& release = *engine.formulas[kSlotRelease];
  release.Free();
  if (config.releaseMinutes >= 10) {
    CompileReleaseFormula(engine).IgnoreError();
  }
}

// The mail box for one scan box's ordinary mail in this pass.
int ChooseMailbox(RouterEngine& engine) {
  if (engine.openMailboxCount < 2) return 0;
  const int r = engine.system.Random();
  const int index = static_cast<int>(static_cast<double>(r) * (1.0 / 32768.0) *
                                     engine.openMailboxCount);
  return index < engine.openMailboxCount ? index : engine.openMailboxCount - 1;
}

MemHandle Formula(RouterEngine& engine, int slot) {
  return engine.formulas[slot]->formulaHandle;
}

void Deliver(RouterEngine& engine, MessageCounts& totals) {
  NotesServices& notes = engine.notes;
  const uint16_t logLevel = engine.config->logLevel;
  struct Quarantine {
    MailDatabase* record;
    const EarlierQuarantines& earlier;
    int slot;
    const char* name;
    int32_t* counter;
  };
  const Quarantine quarantines[3] = {
      {engine.quarantineB.get(), engine.earlierQuarantines[0], kSlotSpamB,
       "Quarantine B", &totals.SpamB},
      {engine.quarantineC.get(), engine.earlierQuarantines[1], kSlotSpamC,
       "Quarantine C", &totals.SpamC},
      {engine.quarantineD.get(), engine.earlierQuarantines[2], kSlotSpamD,
       "Quarantine D", &totals.SpamD},
  };
  FailureEpisodes* episodes = &engine.failureEpisodes;
  const std::span<const DbHandle> mailboxes(engine.mailboxHandles.data(),
                                            engine.openMailboxCount);
  for (DbHandle scanBox = engine.scanBoxes->FirstHandle(); scanBox;
       scanBox = engine.scanBoxes->NextHandle()) {
    const int index = ChooseMailbox(engine);
    // A message an earlier pass copied into one of the mail boxes goes back
    // to that one, whatever the draw.
    MoveSelectedMessages(notes, scanBox, engine.mailboxHandles[index],
                         DbHandle(), engine.idTable, Formula(engine, kSlotMail),
                         "mail.box", logLevel, &totals.Mail, mailboxes,
                         episodes)
        .IgnoreError();
    for (const Quarantine& q : quarantines) {
      if (notes.ShouldTerminate()) break;
      if (q.record == nullptr || !q.record->IsOpen()) continue;
      // A message copied into a quarantine the perimeter has rolled over
      // from since goes there again, never into the new one as well.
      MoveSelectedMessages(notes, scanBox, q.record->dbHandle, DbHandle(),
                           engine.idTable, Formula(engine, q.slot), q.name,
                           logLevel, q.counter, q.earlier.handles(), episodes)
          .IgnoreError();
    }
    if (notes.ShouldTerminate()) break;
  }
}

void Intercept(RouterEngine& engine) {
  NotesServices& notes = engine.notes;
  const uint16_t logLevel = engine.config->logLevel;
  // Intercepted mail is not part of the day's totals.
  int32_t scratch = 0;
  const DbHandle target = engine.scanBoxes->FirstHandle();
  const DbHandle alternative = engine.scanBoxes->NextHandle();
  for (int i = 0; i < engine.openMailboxCount; ++i) {
    if (notes.ShouldTerminate()) break;
    const DbHandle mailbox = engine.mailboxHandles[i];
    MoveSelectedMessages(notes, mailbox, target, alternative, engine.idTable,
                         Formula(engine, kSlotIntercept), "Scan box", logLevel,
                         &scratch, {}, &engine.failureEpisodes)
        .IgnoreError();
    MoveSelectedMessages(notes, mailbox, target, alternative, engine.idTable,
                         Formula(engine, kSlotDeadMail), "Scan box", logLevel,
                         &scratch, {}, &engine.failureEpisodes)
        .IgnoreError();
  }
}

}  // namespace

int RunProcessingPass(RouterEngine& engine, MessageCounts* totals) {
  if (engine.reinitRequested == 1) {
    Reinitialize(engine);
    return 0;
  }
  if (engine.config->processingMode == 0) return 0;
  CheckQuarantineSizes(engine);
  if (engine.openMailboxCount == 0 || engine.scanBoxes->Count() == 0) return 0;
  if (!engine.idTable) {
    TaskLog(engine.notes)
        .Log(err::kMissingValue, "Error accessing message ID table.");
    return 0;
  }
  Deliver(engine, *totals);
  Intercept(engine);
  RemoveHoldState(engine);
  if (engine.releaseEnabled == 1) ReleaseUnscannedMessages(engine);
  return 0;
}

}  // namespace vt

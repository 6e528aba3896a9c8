// Engine start-up, which acquires everything in a fixed order, and shutdown,
// which releases whatever was acquired.
#include <new>

#include "config/AdminDbLocation.h"
#include "engine/EngineDatabases.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"

namespace vt {
Status CompileReleaseFormula(RouterEngine& engine) {
  FixedText<kReleaseFormulaSize> text;
  text.Format(kReleaseFormulaTemplate,
              static_cast<long>(engine.config->releaseMinutes));
  return engine.formulas[kSlotRelease]->Compile(text.c_str());
}

RouterEngine::~RouterEngine() { ShutdownEngine(*this); }

int StartEngine(RouterEngine& engine) {
  TaskLog log(engine.notes);
  AdminDbLocation location;
  LocateAdminDatabase(engine.notes, engine.system, location);

  engine.config.reset(new (std::nothrow) ServerConfig(
      engine.notes, engine.system, location.adminServer.c_str(),
      location.adminPath.c_str()));
  if (!engine.config) {
    log.Log(Status(),
            "Unable to create Veltrane internal administration structures.");
    return 1;
  }
  engine.stateFlags |= kEngineConfigCreated;
  if (!engine.config->Read().ok()) return 1;
  if (OpenMailBoxes(engine) == 0) return 1;

  engine.scanBoxes = ScanBoxCollection::Create();
  if (!engine.scanBoxes) {
    log.Log(Status(), "Unable to create Veltrane scan box collection.");
    return 1;
  }
  if (OpenScanBoxes(engine) == 0) return 1;

  struct Slot {
    std::unique_ptr<MailDatabase>* record;
    const char* failure;
  };
  for (const Slot& s :
       {Slot{&engine.quarantineB,
             "Unable to allocate memory for Quarantine B database."},
        Slot{&engine.quarantineC,
             "Unable to allocate memory for Quarantine C database."},
        Slot{&engine.quarantineD,
             "Unable to allocate memory for Quarantine D database."}}) {
    s.record->reset(new (std::nothrow) MailDatabase(engine.notes));
    if (!*s.record) {
      log.Log(Status(), "%s", s.failure);
      return 1;
    }
  }
  if (!OpenQuarantines(engine).ok()) return 1;
  ReportDatabasesInTwoRoles(engine);

  for (auto& holder : engine.formulas) {
    holder.reset(new (std::nothrow) SelectionFormula(engine.notes));
    if (!holder) {
      log.Log(Status(),
              "Error creating document selection formula structures.");
      return 1;
    }
  }
  bool compiled = true;
  for (int slot = 0; slot <= kSlotHeld; ++slot) {
    const char* text = kSlotFormulas[slot];
    if (slot == kSlotIntercept && engine.config->alternateInterceptor == 1) {
      text = kHoldInterceptFormula;
    }
    if (!engine.formulas[slot]->Compile(text).ok()) compiled = false;
  }
  if (engine.config->releaseMinutes >= 10 &&
      !CompileReleaseFormula(engine).ok()) {
    compiled = false;
  }
  if (!compiled) {
    log.Log(Status(), "Error compiling document selection formulas.");
    return 1;
  }

  const Status status = engine.notes.CreateIdTable(4, &engine.idTable);
  if (!status.ok()) {
    engine.idTable = IdTableHandle();
    log.Log(status, "Error creating internal document structures.");
    return 1;
  }
  engine.stateFlags |= kEngineIdTableCreated;
  return 0;
}

void ShutdownEngine(RouterEngine& engine) {
  const uint32_t flags = engine.stateFlags;
  CloseMailBoxes(engine);
  if (engine.scanBoxes) {
    engine.scanBoxes->Clear();
    engine.scanBoxes.reset();
  }
  for (EarlierQuarantines& earlier : engine.earlierQuarantines) earlier.Clear();
  engine.quarantineB.reset();
  engine.quarantineC.reset();
  engine.quarantineD.reset();
  for (auto& holder : engine.formulas) {
    if (holder) {
      holder->Free();
      holder.reset();
    }
  }
  if ((flags & kEngineIdTableCreated) != 0) {
    engine.notes.DestroyIdTable(engine.idTable).IgnoreError();
    engine.stateFlags &= ~kEngineIdTableCreated;
    engine.idTable = IdTableHandle();
  }
  if ((flags & kEngineConfigCreated) != 0) {
    engine.config.reset();
    engine.stateFlags &= ~kEngineConfigCreated;
  }
}

void CloseMailBoxes(RouterEngine& engine) {
  for (int i = 0; i < engine.openMailboxCount && i < kMaxMailboxes; ++i) {
    if (engine.mailboxHandles[i]) {
      engine.notes.CloseDatabase(engine.mailboxHandles[i]).IgnoreError();
      engine.mailboxHandles[i] = DbHandle();
    }
  }
  engine.openMailboxCount = 0;
}

void CloseQuarantines(RouterEngine& engine) {
  for (auto* slot :
       {&engine.quarantineB, &engine.quarantineC, &engine.quarantineD}) {
    if (*slot) (*slot)->Close().IgnoreError();
  }
  for (EarlierQuarantines& earlier : engine.earlierQuarantines) earlier.Clear();
}

}  // namespace vt

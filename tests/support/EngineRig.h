// A routing engine over a RouterWorld, reached through a fault-injecting
// wrapper that can also report a chosen size for a database (so a quarantine
// "fills up" without writing megabytes) and answer the server's termination
// request after a number of questions.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/RouterEngine.h"
#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"
#include "support/FakeSystem.h"
#include "support/FaultyNotes.h"
#include "support/RouterWorld.h"

namespace vt::testing {

class EngineNotes : public FaultyNotes {
 public:
  explicit EngineNotes(LocalNotesServices& server)
      : FaultyNotes(server), server_(server) {}

  // Used bytes GetDatabaseSpace reports for a database, by its file's name
  // (for example "QuarantineB_1.nsf"); other databases report their own.
  std::map<std::string, uint32_t> reportedSizes;

  // ShouldTerminate answers false n more times, then true from then on.
  void TerminateAfter(int n) {
    terminateArmed_ = true;
    questionsLeft_ = n;
  }

  Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                          uint32_t* freeBytes) override {
    const Status s = FaultyNotes::GetDatabaseSpace(db, usedBytes, freeBytes);
    store::NsfDatabase* database = LocalStoreAccess::Database(server_, db);
    if (!s.ok() || database == nullptr) return s;
    // The name after the last separator, on either store.
    const std::string where = database->Describe();
    const size_t cut = where.find_last_of("/\\");
    auto it = reportedSizes.find(
        cut == std::string::npos ? where : where.substr(cut + 1));
    if (it != reportedSizes.end() && usedBytes != nullptr) {
      *usedBytes = it->second;
    }
    return s;
  }

  // Runs change before call number n (counted from now) of a move's copy
  // (kCopySelectedNote) or deletion (kDeleteNoteVersion), with that call's
  // database and note: another writer's change between a search and a
  // copy, or between a copy and its deletion.
  using Change = std::function<void(DbHandle db, uint32_t noteId)>;
  void ChangeBefore(NotesOp op, int n, Change change) {
    changeOp_ = op;
    changeAt_ = Calls(op) + n;
    change_ = std::move(change);
  }
  Status CopySelectedNote(DbHandle source, uint32_t noteId, MemHandle formula,
                          DbHandle destination, OriginatorId* copied) override {
    MaybeChange(NotesOp::kCopySelectedNote, source, noteId);
    return FaultyNotes::CopySelectedNote(source, noteId, formula, destination,
                                         copied);
  }
  Status DeleteNoteVersion(DbHandle db, uint32_t noteId, uint32_t sequence,
                           uint16_t updateFlags) override {
    MaybeChange(NotesOp::kDeleteNoteVersion, db, noteId);
    return FaultyNotes::DeleteNoteVersion(db, noteId, sequence, updateFlags);
  }

  bool ShouldTerminate() override {
    const bool server = FaultyNotes::ShouldTerminate();
    if (!terminateArmed_) return server;
    if (questionsLeft_ > 0) {
      --questionsLeft_;
      return server;
    }
    return true;
  }

 private:
  void MaybeChange(NotesOp op, DbHandle db, uint32_t noteId) {
    // The call about to be made is number Calls(op) + 1.
    if (!change_ || op != changeOp_ || Calls(op) + 1 != changeAt_) return;
    const Change change = std::move(change_);
    change_ = nullptr;
    change(db, noteId);
  }

  LocalNotesServices& server_;
  NotesOp changeOp_ = NotesOp::kCopySelectedNote;
  int changeAt_ = 0;
  Change change_;
  bool terminateArmed_ = false;
  int questionsLeft_ = 0;
};

// The fake system, counting how often each named mutex was created (the
// configuration's save lock is taken once per save).
class CountingSystem : public FakeSystem {
 public:
  using FakeSystem::FakeSystem;

  std::map<std::string, int> mutexCreations;

  MutexHandle CreateNamedMutex(const char* name, bool initialOwner,
                               bool* alreadyExisted) override {
    ++mutexCreations[name];
    return FakeSystem::CreateNamedMutex(name, initialOwner, alreadyExisted);
  }
};

// Everything one engine test needs, built in dependency order and torn down
// in reverse: the world, the machine's fake system, the wrapper, the engine.
struct EngineRig {
  explicit EngineRig(Items configItems = {}, std::string_view extraIni = {})
      : world(std::move(configItems), extraIni) {}

  LocalNotesServices& server() { return world.server(); }
  int Start() { return StartEngine(engine); }
  void Pass() { RunProcessingPass(engine, &totals); }
  // How many log lines read exactly text (time stamp cut off).
  int CountLine(const std::string& text) {
    int n = 0;
    for (const std::string& line : LogTexts(world.server())) {
      if (line == text) ++n;
    }
    return n;
  }
  size_t LogSize() { return world.server().LogLines().size(); }
  // The log lines written since the log had first lines.
  std::vector<std::string> LogSince(size_t first) {
    std::vector<std::string> all = LogTexts(world.server());
    if (first >= all.size()) return {};
    return std::vector<std::string>(all.begin() + first, all.end());
  }

  RouterWorld world;
  FakeMachine machine;
  CountingSystem system{machine};
  EngineNotes notes{world.server()};
  RouterEngine engine{notes, system};
  MessageCounts totals;
};

}  // namespace vt::testing

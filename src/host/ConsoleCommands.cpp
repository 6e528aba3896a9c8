// Matching and acting on console commands.
#include "host/ConsoleCommands.h"

#include <cstring>

#include "databases/RouterItems.h"
#include "engine/EngineDatabases.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

// True when message begins with word (lower case), folding only A to Z.
bool BeginsWith(const char* message, const char* word) {
  for (; *word != '\0'; ++word, ++message) {
    if (*message == '\0' || FoldAscii(*message) != *word) return false;
  }
  return true;
}

}  // namespace

void HandleConsoleCommand(RouterEngine& engine, const DailyTotals& totals,
                          PauseState& pause, const char* message) {
  NotesServices& notes = engine.notes;
  if (BeginsWith(message, "pause30")) {
    pause.paused = true;
    pause.timedPause = true;
    pause.timedPauseMinutes = 0;
    notes.SetStatusText("%s", kPausedStatus);
    notes.LogMessage("%s: Paused for 30 minutes", Status(), kTaskName);
  } else if (BeginsWith(message, "pause")) {
    pause.paused = true;
    notes.SetStatusText("%s", kPausedStatus);
    notes.LogMessage("%s: Paused", Status(), kTaskName);
  } else if (BeginsWith(message, "resume")) {
    pause.paused = false;
    pause.timedPause = false;
    notes.SetStatusText("%s", kRunningStatus);
    notes.LogMessage("%s: Resumed", Status(), kTaskName);
  } else if (BeginsWith(message, "enablerelease")) {
    engine.releaseEnabled = 1;
  } else if (BeginsWith(message, "newqb")) {
    ReplaceQuarantine(kTitleB, *engine.config, engine.quarantineB,
                      engine.earlierQuarantines[0],
                      engine.config->quarantinePathB);
  } else if (BeginsWith(message, "newqc")) {
    ReplaceQuarantine(kTitleC, *engine.config, engine.quarantineC,
                      engine.earlierQuarantines[1],
                      engine.config->quarantinePathC);
  } else if (BeginsWith(message, "newqd")) {
    ReplaceQuarantine(kTitleD, *engine.config, engine.quarantineD,
                      engine.earlierQuarantines[2],
                      engine.config->quarantinePathD);
  } else if (BeginsWith(message, "version")) {
    notes.LogMessage("%s: Version %s", Status(), kTaskName,
                     engine.versionText.c_str());
  } else if (BeginsWith(message, "totals")) {
    notes.LogMessage(
        "%s: Totals for today - Mail: %ld  Spam-D: %ld  Spam-C: %ld  "
        "Spam-B: %ld",
        Status(), kTaskName, static_cast<long>(totals.Mail),
        static_cast<long>(totals.SpamD), static_cast<long>(totals.SpamC),
        static_cast<long>(totals.SpamB));
  } else {
    notes.LogMessage("%s: Unknown command %s", Status(), kTaskName, message);
  }
}

void TimedPauseTick(PauseState& pause) {
  // Only a running timed pause counts and ends: the minutes of an earlier,
  // finished one must not end a later plain pause, which only resume ends.
  if (!pause.timedPause) return;
  if (++pause.timedPauseMinutes >= 30) {
    pause.paused = false;
    pause.timedPause = false;
  }
}

}  // namespace vt

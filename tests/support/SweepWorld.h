// The world of the sweeps that prove every message ends in exactly one
// place: messages in every state over three mail boxes, two scan boxes and
// three quarantines, the verdicts the scanner gives them, where each must
// end, and the checks made after each run. The fault sweep fails calls of
// the server; the power-loss sweep cuts the power under the store.
#pragma once

#include <string>
#include <vector>

#include "server/LocalNotesServices.h"
#include "support/MailMessages.h"
#include "support/RouterWorld.h"

namespace vt::testing {

inline constexpr char kMailBox2[] = "mail2.box";
inline constexpr char kMailBox3[] = "mail3.box";
// The quarantines a roll-over makes next.
inline constexpr char kQuarantineB2[] = "Veltrane\\QuarantineB_2.nsf";
inline constexpr char kQuarantineC2[] = "Veltrane\\QuarantineC_2.nsf";
inline constexpr char kQuarantineD2[] = "Veltrane\\QuarantineD_2.nsf";
// The mail boxes, every database a message may be in, and the items the
// checks read.
const std::vector<std::string>& SweepMailBoxes();
const std::vector<std::string>& SweepDatabases();
const std::vector<std::string>& SweepItems();

// One message of the world: where it starts, what it carries, the verdict the
// scanner gives it once it reaches a scan box unverified ("" = none: it is
// not the router's to take, or it waits for release), and where it must end
// ("" = nowhere: a mail rule refuses it; kMailBox for delivered mail = any of
// the mail boxes, as the draw decides) with which route and routing state.
struct SweepMessage {
  std::string id;
  const char* start;
  Items extra;
  int ageMinutes;
  std::string verdict;
  std::string end;
  std::string route;
  std::string routingState;
};

// The same world in both interception modes: new mail is flagged for
// processing, or (alternate) held by the mail server; in each mode one
// message of the other kind is not the router's to take. The configuration
// it needs: SweepConfig(alternate) and the mail rule of kSweepIni.
std::vector<SweepMessage> MakeSweepWorld(bool alternate);
Items SweepConfig(bool alternate);
inline constexpr char kSweepIni[] =
    "[MailRules]\nNoSpam=SELECT Subject = \"blocked\"\n";

// Whether the message goes through delivery, and so counts in the day's
// totals (when it is not refused).
bool Delivered(const SweepMessage& m);

// Messages not in exactly one database; with deletionMayLag, a message in
// two databases (its copy made, its deletion failed) is allowed for now,
// and the refused message may be gone or still in its scan box.
std::string Misplaced(const std::vector<SweepMessage>& world,
                      const Census& census, bool deletionMayLag);

// Where every message is and what it carries, as one comparable text.
std::string Fingerprint(const std::vector<MessageCopy>& survey);

// Lets the scanner give its verdict to every unverified message it holds;
// the number of verdicts given.
int ScanWhatWaits(LocalNotesServices& server,
                  const std::vector<SweepMessage>& world,
                  const std::vector<MessageCopy>& survey);

// Releases the message id from the quarantine of perimeter letter that holds
// it into the router's first mail box, through the code of `vtserver
// quarantine release` making its calls through releaser (the server, or a
// wrapper that fails them); "" when released, else why not.
std::string ReleaseFromQuarantine(LocalNotesServices& server,
                                  NotesServices& releaser, char letter,
                                  const std::string& id);

// Where every message must be once the passes have settled.
void ExpectEveryMessageWhereItsVerdictSendsIt(
    const std::vector<SweepMessage>& world,
    const std::vector<MessageCopy>& survey, const std::string& context);

}  // namespace vt::testing

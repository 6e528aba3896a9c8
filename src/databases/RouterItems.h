// The names the router shares with its neighbours, defined once: the items
// through which it and the scanner cooperate on mail notes, with their
// values; the class of the databases it creates; and the console names by
// which the server's tools reach a running router (its queue, its status
// line and what that line says while paused).
#pragma once

#include <cstdint>

namespace vt {

// Items of a mail message.
inline constexpr char kItemRoutingState[] = "RoutingState";
inline constexpr char kItemDeadFailureReason[] = "DeadFailureReason";
inline constexpr char kItemVeltraneProcess[] = "VeltraneProcess";
inline constexpr char kItemVeltraneVerified[] = "VeltraneVerified";
inline constexpr char kItemKestoRouter[] = "Kesto_Router";
// Set by the router's release of mail that waited too long for a verdict.
inline constexpr char kItemReleased[] = "VTRouterReleased";

// Their values.
inline constexpr char kYes[] = "1";
inline constexpr char kStateHold[] = "HOLD";
inline constexpr char kStateDead[] = "DEAD";
inline constexpr char kRouteMail[] = "M";

// The class the router gives the databases it creates.
inline constexpr uint16_t kDatabaseClass = 0xFF01;

// The router's console queue, its status line, and that line while paused.
inline constexpr char kQueueName[] = "MQ$VTROUTER";
inline constexpr char kStatusLineName[] = "VeltraneRouter";
inline constexpr char kPausedStatus[] = "Paused";
// The words a console command to the router begins with (in any case), as
// its handler matches them; it logs any other as unknown. "quit" and "exit"
// alone end any task and are the server's own.
inline constexpr const char* kRouterCommandWords[] = {
    "pause", "resume", "enablerelease", "newqb",
    "newqc", "newqd",  "version",       "totals"};
inline constexpr const char* kTaskEndWords[] = {"quit", "exit"};
// A second line, kept whatever the first says: the messages moved since the
// router started, by route.
inline constexpr char kMovedLineName[] = "VeltraneRouter moved";
inline constexpr char kMovedLineFormat[] =
    "Since start - mail %lld  spam-D %lld  spam-C %lld  spam-B %lld";

}  // namespace vt

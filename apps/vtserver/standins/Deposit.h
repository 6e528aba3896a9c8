// The mail server's stand-in: messages deposited into a mail box with the
// items the mail server gives them, each traceable by its VTMessageId
// (process, time, a random part and its number within the call).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct DepositOptions {
  std::string database = "mail.box";
  int count = 1;
  bool hold = false;
  bool dead = false;
  bool process = true;     // VeltraneProcess "1"
  std::string subject;     // empty: "Test message N"
  int64_t ageMinutes = 0;  // the creation time this long ago
  size_t bodyBytes = 0;    // the body padded to this size (0: a line)
};

struct DepositedMessage {
  uint32_t noteId = 0;
  std::string messageId;
  std::string subject;
};

// Each message is written whole (one update); the messages deposited before
// a failure stay and are listed in deposited.
Outcome DepositMessages(LocalNotesServices& server,
                        const DepositOptions& options,
                        std::vector<DepositedMessage>* deposited);

}  // namespace vt::tool

// The figures `vtserver stats` reports about a data directory: what the
// router says of itself on its status line, how much mail waits for it and
// for the scanner, how full each quarantine is, and what every database
// holds. Gathered in one read of each database, so that it stays quick
// enough to run from a monitoring system every minute.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/ScannerStatus.h"
#include "server/LocalNotesServices.h"
#include "server/smtp/ServiceStatus.h"
#include "stats/RouterStatus.h"

namespace vt::tool {

struct DatabaseStats {
  std::string path;  // relative to the data directory, '/' separators
  uint64_t documents = 0;
  uint64_t sizeBytes = 0;  // the file and its write-ahead log
  std::string problem;     // why it could not be read; empty when it could
};

struct QuarantineStats {
  char perimeter = 0;
  std::string path;         // the current one, which the router fills
  bool exists = false;      // the router makes it on first use
  uint64_t usedBytes = 0;   // as the router measures it for the roll-over
  uint64_t limitBytes = 0;  // MaxQuarantineSize
  uint64_t messages = 0;    // in the current and the rolled-over files
  uint32_t files = 0;       // of them on disk
  std::string problem;      // a file of the perimeter could not be read
  double FillRatio() const {
    return limitBytes == 0 ? 0.0
                           : static_cast<double>(usedBytes) /
                                 static_cast<double>(limitBytes);
  }
};

struct BacklogStats {
  // Documents of the mail boxes the router's interception selects (the
  // ordinary and the dead-mail selection): still to go to a scan box.
  uint64_t waitingInterception = 0;
  // Documents of the mail boxes with RoutingState "HOLD".
  uint64_t held = 0;
  // Documents of the scan boxes without a verdict (VeltraneVerified is not
  // "1"): what the scanner has still to look at.
  uint64_t waitingScanner = 0;
  // Since when the one waiting longest has been in its scan box (Unix
  // centiseconds).
  std::optional<int64_t> oldestWaitingScanner;
  // Configured boxes that could not be read: the counts above leave them
  // out.
  std::vector<std::string> unreadBoxes;
};

// The mail server's delivery queue in the mail boxes, and dead mail.
struct DeliveryStats {
  uint64_t waiting = 0;   // that delivery may send now
  uint64_t deferred = 0;  // waiting for their next try after a 4xx
  uint64_t dead = 0;      // RoutingState "DEAD"
  // The last reply of the oldest deferred message.
  std::string lastDeferral;
};

// The SMTP service's status line (vtserver smtp), when it has one.
struct SmtpServiceStats {
  bool running = false;  // false: the line of a service that died
  smtp::ServiceCounts counts;
};

// The scanner service's status line (vtserver scanner), when it has one.
struct ScannerServiceStats {
  bool running = false;  // false: the line of a service that died
  scanner::ScannerCounts counts;
};

struct Stats {
  int64_t now = 0;  // Unix centiseconds, when gathered
  RouterStatus router;
  std::string configProblem;  // the configuration could not be read
  BacklogStats backlog;
  DeliveryStats delivery;
  std::optional<SmtpServiceStats> smtp;        // none without a status line
  std::optional<ScannerServiceStats> scanner;  // likewise
  std::vector<QuarantineStats> quarantines;    // B, C, D
  std::vector<DatabaseStats> databases;        // by path
  // Messages that more than one database holds (a move cut short; `vtserver
  // check` names them).
  uint64_t messagesInTwoPlaces = 0;

  // Seconds the message waiting longest for the scanner has been in its
  // scan box; 0 when none waits.
  int64_t OldestWaitingScannerAgeSeconds() const;
};

// Never fails as a whole: what cannot be read is reported in its place.
Stats GatherStats(LocalNotesServices& server);

}  // namespace vt::tool

// Quarantined messages as the SMTP service and the scanner leave them: the
// envelope and bytes the listener kept, and the scanner's evidence, written
// straight into a quarantine database of a data directory (no router
// running), for the tests of what a reviewer sees.
#pragma once

#include <string>
#include <vector>

#include "support/RouterWorld.h"

namespace vt::e2e {

using vt::testing::Items;

// The listener's items for message bytes sent to recipients.
Items SmtpItems(const std::string& message,
                const std::vector<std::string>& recipients);

// Adds a document of items to the quarantine of dir (made when missing).
void AddQuarantined(const std::string& dir, const Items& items,
                    const std::string& db = "Veltrane/QuarantineC_1.nsf");

}  // namespace vt::e2e

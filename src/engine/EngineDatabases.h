// The engine's databases: the scan boxes (created from their template when
// missing), the mail boxes (never created), and the three quarantines with
// their roll-over.
#pragma once

#include <memory>

#include "engine/RouterEngine.h"

namespace vt {

inline constexpr char kScanBoxTemplate[] = "Veltrane\\scan.ntf";
inline constexpr char kScanBoxTitle[] = "Veltrane Scan Box";
inline constexpr char kQuarantineTemplate[] = "Veltrane\\quarantine.ntf";
inline constexpr char kQuarantineDTemplate[] = "Veltrane\\quarantineadmin.ntf";
inline constexpr char kTitleB[] = "Perimeter 'B'";
inline constexpr char kTitleC[] = "Perimeter 'C'";
inline constexpr char kTitleD[] = "Perimeter 'D'";

// Number of scan boxes now in the collection (0 = none).
int OpenScanBoxes(RouterEngine& engine);
// Number of mail boxes now open (0 = none; logged).
int OpenMailBoxes(RouterEngine& engine);
// 0 when every configured quarantine is open.
Status OpenQuarantines(RouterEngine& engine);
// Logs each database that the configuration names in two roles (a scan box
// that is also a mail box, say): the mover moves nothing between a database
// and itself, so its messages stay where they are.
void ReportDatabasesInTwoRoles(RouterEngine& engine);
// Rolls over every quarantine that reached the size limit; always 0.
int CheckQuarantineSizes(RouterEngine& engine);
// Rolls one quarantine over whatever its size: 1 replaced, 0 not. The one
// replaced joins earlier.
int ReplaceQuarantine(const char* title, ServerConfig& config,
                      std::unique_ptr<MailDatabase>& slot,
                      EarlierQuarantines& earlier,
                      FixedText<kPathSize>& pathField);

}  // namespace vt

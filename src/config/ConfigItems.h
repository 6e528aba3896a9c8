// The items of the configuration document, defined once for the router that
// reads them and the server's tools that write and check them, with the
// names the router falls back on when an item is empty.
#pragma once

#include <array>

namespace vt {

// The form of the document, and the item the view "AdminServerConfig" finds
// it by.
inline constexpr char kConfigForm[] = "ServerConfig";
inline constexpr char kItemServerName[] = "ServerName";

inline constexpr char kItemMailboxServer[] = "MailboxServer";
inline constexpr char kItemMailboxNsf[] = "MailboxNsf";  // text list
inline constexpr char kItemScanningServer[] = "ScanningServer";
inline constexpr char kItemScanningNsf[] = "ScanningNsf";  // text list
inline constexpr char kItemQuarantinePathB[] = "CatBQNsfD";
inline constexpr char kItemQuarantinePathC[] = "CatCQNsfD";
inline constexpr char kItemQuarantinePathD[] = "CatDQNsfD";
inline constexpr char kItemQuarantineServerB[] = "CatBQServer";
inline constexpr char kItemQuarantineServerC[] = "CatCQServer";
inline constexpr char kItemQuarantineServerD[] = "CatDQServer";
inline constexpr char kItemMaxQuarantineSize[] = "MaxQuarantineSize";  // MB
inline constexpr char kItemMailProcessingOptions[] = "MailProcessingOptions";
inline constexpr char kItemAlternateInterceptor[] = "AlternateInterceptor";
inline constexpr char kItemConsoleLogLevel[] = "ConsoleLogLevel";
inline constexpr char kItemReleaseMailMinutes[] = "ReleaseMailMinutes";

// Every item the router reads.
inline constexpr std::array<const char*, 16> kRouterConfigItems = {
    kItemServerName,
    kItemMailboxServer,
    kItemMailboxNsf,
    kItemScanningServer,
    kItemScanningNsf,
    kItemQuarantinePathB,
    kItemQuarantinePathC,
    kItemQuarantinePathD,
    kItemQuarantineServerB,
    kItemQuarantineServerC,
    kItemQuarantineServerD,
    kItemMaxQuarantineSize,
    kItemMailProcessingOptions,
    kItemAlternateInterceptor,
    kItemConsoleLogLevel,
    kItemReleaseMailMinutes,
};

// What the router uses when the document leaves a name empty.
inline constexpr char kDefaultScanBox1[] = "Veltrane\\Scan\\Scan_1.box";
inline constexpr char kDefaultScanBox2[] = "Veltrane\\Scan\\Scan_2.box";
inline constexpr std::array<const char*, 2> kDefaultScanBoxes = {
    kDefaultScanBox1, kDefaultScanBox2};
inline constexpr char kDefaultQuarantineB[] = "Veltrane\\QuarantineB_1.nsf";
inline constexpr char kDefaultQuarantineC[] = "Veltrane\\QuarantineC_1.nsf";
inline constexpr char kDefaultQuarantineD[] = "Veltrane\\QuarantineD_1.nsf";

}  // namespace vt

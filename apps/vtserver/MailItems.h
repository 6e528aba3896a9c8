// The names and values vtserver shares with the router and the scanner: the
// items of mail notes and of the configuration document, and where the
// administration database lives.
#pragma once

#include <array>

namespace vt::tool {

// Items of a mail message.
inline constexpr char kItemForm[] = "Form";
inline constexpr char kItemFrom[] = "From";
inline constexpr char kItemSendTo[] = "SendTo";
inline constexpr char kItemSubject[] = "Subject";
inline constexpr char kItemBody[] = "Body";
inline constexpr char kItemRoutingState[] = "RoutingState";
inline constexpr char kItemDeadFailureReason[] = "DeadFailureReason";
inline constexpr char kItemVeltraneProcess[] = "VeltraneProcess";
inline constexpr char kItemVeltraneVerified[] = "VeltraneVerified";
inline constexpr char kItemKestoRouter[] = "Kesto_Router";
inline constexpr char kItemReleased[] = "VTRouterReleased";
// Written by `vtserver quarantine release`: an administrator released it.
inline constexpr char kItemAdminReleased[] = "VTAdminReleased";
// vtserver's own: traces one message wherever the router moves it.
inline constexpr char kItemMessageId[] = "VTMessageId";

inline constexpr char kMemoForm[] = "Memo";
inline constexpr char kYes[] = "1";
inline constexpr char kStateHold[] = "HOLD";
inline constexpr char kStateDead[] = "DEAD";

// The items `ls` shows for each document, in this order.
inline constexpr std::array<const char*, 8> kListedItems = {
    kItemSubject,          kItemRoutingState, kItemVeltraneProcess,
    kItemVeltraneVerified, kItemKestoRouter,  kItemReleased,
    kItemAdminReleased,    kItemMessageId,
};

// The administration database and its configuration documents.
inline constexpr char kAdminDatabasePath[] = "Veltrane/VeltraneAdmin.nsf";
inline constexpr char kConfigForm[] = "ServerConfig";
inline constexpr char kItemServerName[] = "ServerName";
inline constexpr char kItemMailboxNsf[] = "MailboxNsf";
inline constexpr char kItemScanningNsf[] = "ScanningNsf";
// The router's scan boxes when the document names none.
inline constexpr std::array<const char*, 2> kDefaultScanBoxes = {
    "Veltrane\\Scan\\Scan_1.box", "Veltrane\\Scan\\Scan_2.box"};

// The class the router gives the databases it creates.
inline constexpr uint16_t kDatabaseClass = 0xFF01;

}  // namespace vt::tool

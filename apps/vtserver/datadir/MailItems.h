// The names vtserver uses beside the router's own (databases/RouterItems.h,
// config/ConfigItems.h): the items the mail server's stand-in writes, those
// an administrator's release writes, and where the administration database
// lives.
#pragma once

#include <array>

#include "config/ConfigItems.h"
#include "databases/MailItems.h"
#include "databases/RouterItems.h"

namespace vt::tool {

// Items of a mail message (databases/MailItems.h).
using vt::kItemBody;
using vt::kItemForm;
using vt::kItemFrom;
using vt::kItemSendTo;
using vt::kItemSubject;
using vt::kMemoForm;
// Written by `vtserver quarantine release`: an administrator released it.
inline constexpr char kItemAdminReleased[] = "VTAdminReleased";
// vtserver's own: traces one message wherever the router moves it.
inline constexpr char kItemMessageId[] = "VTMessageId";

// The items `ls` shows for each document, in this order.
inline constexpr std::array<const char*, 8> kListedItems = {
    kItemSubject,          kItemRoutingState, kItemVeltraneProcess,
    kItemVeltraneVerified, kItemKestoRouter,  kItemReleased,
    kItemAdminReleased,    kItemMessageId,
};

// The administration database.
inline constexpr char kAdminDatabasePath[] = "Veltrane/VeltraneAdmin.nsf";

}  // namespace vt::tool

// The items of a mail message as the mail server writes them into a
// mail.box: the platform's own names, which the router's selections, the
// quarantine's listing and the mail server's delivery all read.
#pragma once

namespace vt {

inline constexpr char kItemForm[] = "Form";
inline constexpr char kMemoForm[] = "Memo";
inline constexpr char kItemFrom[] = "From";
inline constexpr char kItemSendTo[] = "SendTo";
inline constexpr char kItemCopyTo[] = "CopyTo";
inline constexpr char kItemSubject[] = "Subject";
inline constexpr char kItemBody[] = "Body";
inline constexpr char kItemPostedDate[] = "PostedDate";
inline constexpr char kItemInternetMessageId[] = "$MessageID";
// The envelope: the reverse path and the forward paths, as given.
inline constexpr char kItemSmtpOriginator[] = "SMTPOriginator";
inline constexpr char kItemRecipients[] = "Recipients";

}  // namespace vt

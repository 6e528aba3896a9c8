// Making a new data directory: server.ini, the mail boxes, the router's
// templates
// and the administration database with its view and the server's
// configuration document. Built whole beside its final place and renamed
// into it, so that a failure leaves nothing behind.
#pragma once

#include <string>

#include "datadir/Outcome.h"

namespace vt::tool {

inline constexpr char kDefaultServerName[] = "CN=Mail1/O=Example";
// The router opens at most this many mail boxes.
inline constexpr int kMaxInitMailboxes = 10;

// Refuses, changing nothing, when dir holds server.ini, is not a folder, or
// is a folder with anything in it. Makes mail.box, and for mailboxes above 1
// also mail2.box ... mailN.box, all named in MailboxNsf. With databases (a
// PostgreSQL URI), server.ini says Databases=databases and every database
// is made there instead, in a PostgreSQL database that holds none yet.
Outcome InitDataDirectory(const std::string& dir, const std::string& serverName,
                          int mailboxes = 1, const std::string& databases = {});

// Whether a name can be written to server.ini and read back unchanged.
Outcome CheckServerName(const std::string& name);

}  // namespace vt::tool

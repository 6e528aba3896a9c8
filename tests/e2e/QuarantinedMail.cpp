#include "QuarantinedMail.h"

#include <gtest/gtest.h>

#include "server/LocalNotesServices.h"

namespace vt::e2e {

Items SmtpItems(const std::string& message,
                const std::vector<std::string>& recipients) {
  std::vector<std::string> rcpt;
  for (const std::string& r : recipients) rcpt.push_back("TO:<" + r + ">");
  return Items{{"Form", "Memo"},
               {"From", "mallory@example.net"},
               {"VTSmtpMail", "FROM:<mallory@example.net>"},
               {"VTSmtpRcpt", rcpt},
               {"VTSmtpMessage", message},
               {"VTSmtpSize", static_cast<double>(message.size())}};
}

void AddQuarantined(const std::string& dir, const Items& items,
                    const std::string& db) {
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  LocalNotesServices server(options);
  ASSERT_EQ(server.Start(), Status());
  DbHandle handle;
  if (server.OpenDatabase(db.c_str(), &handle).ok()) {
    ASSERT_EQ(server.CloseDatabase(handle), Status());
  } else {
    ASSERT_EQ(server.CreateDatabase(db.c_str(), 0xFF01, false), Status());
  }
  vt::testing::AddDocument(server, db, items);
}

}  // namespace vt::e2e

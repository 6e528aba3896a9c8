// What `vtserver scan` relies on when it works beside a live router: a
// message the router moved away (copied, then deleted) between the scan's
// read and its update is not written back, so it never appears twice.
#include <gtest/gtest.h>

#include "server/LocalStoreAccess.h"
#include "support/TempDataDir.h"

namespace vt::e2e {
namespace {

TEST(VanishedNote, AnUpdateAfterTheRouterMovedTheNoteAwayFails) {
  TempDataDir data;
  auto scanner = data.MakeServer();
  auto router = data.MakeServer();
  ASSERT_TRUE(scanner && router);
  ASSERT_EQ(scanner->CreateDatabase("scan.box", 0xFF01, false), Status());
  ASSERT_EQ(scanner->CreateDatabase("mail.box", 0xFF01, false), Status());

  DbHandle box;
  ASSERT_EQ(scanner->OpenDatabase("scan.box", &box), Status());
  NoteHandle made;
  ASSERT_EQ(scanner->CreateNote(box, &made), Status());
  ASSERT_EQ(scanner->SetTextItem(made, "Subject", "hello", 0xFFFF), Status());
  ASSERT_EQ(scanner->UpdateNote(made, 0), Status());
  const uint32_t id = LocalStoreAccess::Note(*scanner, made)->id;
  ASSERT_EQ(scanner->CloseNote(made), Status());

  // The scanner has the message open...
  NoteHandle open;
  ASSERT_EQ(scanner->OpenNote(box, id, 0, &open), Status());
  // ...while the router moves it.
  DbHandle from, to;
  ASSERT_EQ(router->OpenDatabase("scan.box", &from), Status());
  ASSERT_EQ(router->OpenDatabase("mail.box", &to), Status());
  uint32_t copied = 0;
  ASSERT_EQ(router->CopyNote(from, 0, 0, id, to, 0, 0, 0x03000000, 1, &copied,
                             nullptr),
            Status());
  ASSERT_EQ(router->DeleteNote(from, id, 0x0200), Status());

  ASSERT_EQ(scanner->SetTextItem(open, "VeltraneVerified", "1", 0xFFFF),
            Status());
  EXPECT_TRUE(scanner->UpdateNote(open, 0).Is(err::kNoteDeleted));
  EXPECT_TRUE(scanner->CloseNote(open).ok());

  NoteHandle again;
  EXPECT_TRUE(scanner->OpenNote(box, id, 0, &again).Is(err::kNoteDeleted));
  int documents = 0;
  ASSERT_EQ(LocalStoreAccess::Database(*scanner, box)
                ->ForEachNote(kNoteClassDocument,
                              [&](const store::ScanEntry&) {
                                ++documents;
                                return Status();
                              }),
            Status());
  EXPECT_EQ(documents, 0);
}

}  // namespace
}  // namespace vt::e2e

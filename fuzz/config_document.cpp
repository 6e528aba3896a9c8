// Fuzzes the reading of the configuration document. The bytes are a list of
// item edits (which item, which type, what value) written into the server's
// document in one update; a fresh ServerConfig then reads it as the router
// does. Whatever the items hold, the fields stay within their sizes and
// limits, the lists within theirs, and nothing is left open.
//
// One edit: an op byte (low five bits the item, 30 and 31 a name that
// follows as a length byte and its bytes; high three bits the kind), a mode
// byte (bit 0 summary item, bit 1 add beside an item of the same name
// instead of replacing it), then the value: text, a list split at '\n' and
// raw values with a two-byte length first (and raw values their type code
// before that), numbers as four bytes of a whole number or the eight of a
// double, times as their eight bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzWorld.h"
#include "config/AdminDbLocation.h"
#include "config/ServerConfig.h"
#include "datadir/ConfigDocument.h"
#include "datadir/DataDirInit.h"
#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"

namespace vt::fuzzing {
namespace {

constexpr char kServerName[] = "CN=Mail1/O=Example";
constexpr size_t kMaxEdits = 64;
constexpr size_t kMaxValue = 8192;

// The items ServerConfig::Read looks at.
constexpr const char* kItemNames[] = {
    "MailboxServer",
    "MailboxNsf",
    "ScanningServer",
    "ScanningNsf",
    "CatBQNsfD",
    "CatCQNsfD",
    "CatDQNsfD",
    "CatBQServer",
    "CatCQServer",
    "CatDQServer",
    "MaxQuarantineSize",
    "MailProcessingOptions",
    "AlternateInterceptor",
    "ConsoleLogLevel",
    "ReleaseMailMinutes",
};
constexpr size_t kItemCount = sizeof kItemNames / sizeof kItemNames[0];

enum Kind : uint8_t {
  kText,
  kList,
  kWholeNumber,
  kDouble,
  kTime,
  kRaw,
  kDelete,
  kSetText,
};

// Reads the input front to back; past its end every byte is 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Each part read in its own statement: the order is the input's.
  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | (static_cast<uint64_t>(U32()) << 32);
  }
  std::string_view Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    const std::string_view bytes(reinterpret_cast<const char*>(data_ + pos_),
                                 n);
    pos_ += n;
    return bytes;
  }
  std::string_view Sized() { return Bytes(std::min<size_t>(U16(), kMaxValue)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::vector<uint8_t> ToBytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    entries.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return entries;
}

class World {
 public:
  World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World() {
    server_->CloseDatabase(admin_).IgnoreError();
    notes_.reset();
    server_.reset();
  }

  void Run(const uint8_t* data, size_t size);

 private:
  void Edit(NoteHandle note, Reader& in);
  void Check(const ServerConfig& config, Status status) const;

  ScratchFolder folder_;
  FuzzSystem system_{folder_.path()};
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<CountingNotes> notes_;
  DbHandle admin_;
  uint32_t noteId_ = 0;
  store::ItemList baseline_;
  uint64_t runs_ = 0;
};

World::World() {
  const fs::path dir = folder_.path() / "data";
  const tool::Outcome made = tool::InitDataDirectory(dir.string(), kServerName);
  if (!made.ok()) {
    Fail("cannot make the data directory: %s", made.message().c_str());
  }
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  server_ = std::make_unique<LocalNotesServices>(options);
  if (!server_->Start().ok()) Fail("the server did not start");
  notes_ = std::make_unique<CountingNotes>(*server_);
  // Held open for the edits; the reader shares its connection.
  if (!server_->OpenDatabase(tool::kAdminDatabasePath, &admin_).ok() ||
      !tool::FindConfigNote(*server_, admin_, kServerName, &noteId_).ok()) {
    Fail("no configuration document");
  }
  NoteHandle note;
  if (!server_->OpenNote(admin_, noteId_, 0, &note).ok()) {
    Fail("cannot open the configuration document");
  }
  baseline_ = LocalStoreAccess::Note(*server_, note)->items;
  server_->CloseNote(note).IgnoreError();
  FillKeptLines(*server_);
}

void World::Edit(NoteHandle note, Reader& in) {
  const uint8_t op = in.Byte();
  const uint8_t mode = in.Byte();
  const size_t which = op & 0x1F;
  std::string name;
  if (which >= 2 * kItemCount) {
    name.assign(in.Bytes(in.Byte() & 0x3F));
  } else {
    name = kItemNames[which % kItemCount];
  }
  const char* itemName = name.c_str();
  const auto nameLength = static_cast<uint16_t>(name.size());
  const Kind kind = static_cast<Kind>(op >> 5);
  const uint16_t flags = (mode & 1) != 0 ? kItemFlagSummary : 0;
  const bool beside = (mode & 2) != 0;

  uint16_t type = kTypeText;
  std::vector<uint8_t> value;
  switch (kind) {
    case kText:
      value = ToBytes(in.Sized());
      break;
    case kList:
      type = kTypeTextList;
      value = item::EncodeTextList(SplitLines(in.Sized()));
      break;
    case kWholeNumber:
      type = kTypeNumber;
      value = item::EncodeNumber(static_cast<int32_t>(in.U32()));
      break;
    case kDouble: {
      type = kTypeNumber;
      const uint64_t bits = in.U64();
      double number;
      std::memcpy(&number, &bits, sizeof number);
      value = item::EncodeNumber(number);
      break;
    }
    case kTime:
      type = kTypeTime;
      value = item::EncodeTime(TimeDate{in.U32(), in.U32()});
      break;
    case kRaw:
      // Any type code with any bytes: malformed lists and numbers too.
      type = in.U16();
      value = ToBytes(in.Sized());
      break;
    case kDelete:
      server_->DeleteItem(note, itemName, nameLength).IgnoreError();
      return;
    case kSetText: {
      const std::string text(in.Sized());
      server_
          ->SetTextItem(note, itemName, text.c_str(),
                        static_cast<uint16_t>(text.size()))
          .IgnoreError();
      return;
    }
  }
  if (!beside) server_->DeleteItem(note, itemName, nameLength).IgnoreError();
  // An empty name or one cut to nothing by a NUL is refused; that is fine.
  server_
      ->AppendItem(note, flags, itemName, nameLength, type, value.data(),
                   static_cast<uint32_t>(value.size()))
      .IgnoreError();
}

template <size_t N>
void CheckText(const FixedText<N>& field, const char* name, bool required) {
  CheckTerminated(field, name);
  if (required && field.empty()) Fail("%s is empty", name);
}

void CheckList(const std::vector<std::string>& list, const char* name,
               size_t most, bool required) {
  if (list.size() > most) Fail("%s has %zu entries", name, list.size());
  if (required && list.empty()) Fail("%s is empty", name);
  for (const std::string& entry : list) {
    if (entry.empty() || entry.size() > kListEntryMax ||
        entry.find('\0') != std::string::npos) {
      Fail("%s holds an entry of %zu characters", name, entry.size());
    }
  }
}

void World::Check(const ServerConfig& c, Status status) const {
  // Read gets to the items after the mail boxes exactly when it succeeds or
  // refuses a value that does not fit.
  const bool items = status.ok() || status.Is(err::kBufferTooSmall);
  CheckText(c.adminServer, "adminServer", true);
  CheckText(c.adminPath, "adminPath", true);
  CheckText(c.serverName, "serverName", true);
  CheckText(c.mailboxServer, "mailboxServer", false);
  CheckText(c.scanningServer, "scanningServer", items);
  CheckText(c.quarantineServerB, "quarantineServerB", false);
  CheckText(c.quarantineServerC, "quarantineServerC", false);
  CheckText(c.quarantineServerD, "quarantineServerD", false);
  CheckText(c.quarantinePathB, "quarantinePathB", items);
  CheckText(c.quarantinePathC, "quarantinePathC", items);
  CheckText(c.quarantinePathD, "quarantinePathD", items);
  CheckText(c.server, "server", false);
  CheckText(c.path, "path", false);
  CheckText(c.netPath, "netPath", false);
  CheckText(c.statusText, "statusText", false);
  CheckText(c.lastMessage, "lastMessage", false);
  CheckList(c.mailboxNames, "mailboxNames", kMaxMailboxNames, items);
  CheckList(c.scanBoxNames, "scanBoxNames", kMaxScanBoxNames, items);
  if (!items) return;
  if (c.configNoteId != noteId_) Fail("read note %u", c.configNoteId);
  if (c.maxQuarantineBytes < (10u << 20) ||
      c.maxQuarantineBytes > (4075u << 20) ||
      c.maxQuarantineBytes % (1u << 20) != 0) {
    Fail("maxQuarantineBytes %u", c.maxQuarantineBytes);
  }
  if (c.processingMode > 2) Fail("processingMode %u", c.processingMode);
  if (c.logLevel != 1 && c.logLevel != 2) Fail("logLevel %u", c.logLevel);
  if (c.releaseMinutes != 0 && c.releaseMinutes < 10) {
    Fail("releaseMinutes %u", c.releaseMinutes);
  }
}

void World::Run(const uint8_t* data, size_t size) {
  // The document as `vtserver init` made it, then this input's edits, in
  // one update.
  NoteHandle note;
  if (!server_->OpenNote(admin_, noteId_, 0, &note).ok()) {
    Fail("cannot open the configuration document");
  }
  LocalStoreAccess::Note(*server_, note)->items = baseline_;
  Reader in(data, size);
  for (size_t i = 0; i < kMaxEdits && !in.done(); ++i) Edit(note, in);
  const Status written = server_->UpdateNote(note, 0);
  if (!written.ok()) Fail("the update failed: 0x%04x", written.value());
  server_->CloseNote(note).IgnoreError();

  const int logCalls = notes_->LogCalls();
  {
    ServerConfig config(*notes_, system_, kDefaultAdminServer,
                        kDefaultAdminPath);
    const Status status = config.Read();
    Check(config, status);
    if ((status.ok() || status.Is(err::kBufferTooSmall)) &&
        config.Reinitialize() != kReinitUnchanged) {
      Fail("the document read counts as changed");
    }
  }
  LastLines(*server_, notes_->LogCalls() - logCalls);
  if (notes_->openDatabases() != 0 || notes_->openNotes() != 0 ||
      notes_->collections() != 0 || notes_->memoryBlocks() != 0 ||
      notes_->idTables() != 0) {
    Fail(
        "left open: %d databases, %d notes, %d collections, %d memory "
        "blocks, %d ID tables",
        notes_->openDatabases(), notes_->openNotes(), notes_->collections(),
        notes_->memoryBlocks(), notes_->idTables());
  }
  KeepLogSmall(*server_, ++runs_);
}

World* world = nullptr;

}  // namespace
}  // namespace vt::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Lives until exit, when its scratch folder goes.
  static vt::fuzzing::World instance;
  vt::fuzzing::world = &instance;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vt::fuzzing::world->Run(data, size);
  return 0;
}

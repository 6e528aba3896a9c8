// The 16-bit status every platform operation returns. Callers compare the low
// 14 bits; bit 0x8000 marks a status whose text must not be shown on the
// console. Failures travel as return values, never as exceptions.
#pragma once

#include <cstdint>

namespace vt {

class [[nodiscard]] Status {
 public:
  constexpr Status() = default;
  constexpr Status(uint16_t value) : value_(value) {}  // NOLINT: implicit

  constexpr uint16_t value() const { return value_; }
  // The code that callers compare: the status without its two flag bits.
  constexpr uint16_t code() const { return value_ & kCodeMask; }
  constexpr bool ok() const { return value_ == 0; }
  constexpr bool Is(uint16_t code) const { return this->code() == code; }
  constexpr Status Masked() const { return Status(code()); }
  constexpr bool hidden() const { return (value_ & kHiddenFlag) != 0; }

  // The one greppable way to drop a status on purpose.
  constexpr void IgnoreError() const {}

  friend constexpr bool operator==(Status a, Status b) {
    return a.value_ == b.value_;
  }

  static constexpr uint16_t kCodeMask = 0x3FFF;
  static constexpr uint16_t kHiddenFlag = 0x8000;

 private:
  uint16_t value_ = 0;
};

// Codes the router steers by, and the codes the embedded server reports.
namespace err {
inline constexpr uint16_t kInvalidHandle = 0x0102;
inline constexpr uint16_t kFileNotFound = 0x0103;  // create it
inline constexpr uint16_t kPathOutsideData = 0x0104;
inline constexpr uint16_t kCorruptDatabase = 0x0105;
inline constexpr uint16_t kDiskError = 0x0106;
inline constexpr uint16_t kMissingValue = 0x0107;  // the router's own
inline constexpr uint16_t kInvalidArgument = 0x0108;
inline constexpr uint16_t kFileExists = 0x0109;
inline constexpr uint16_t kServerNotFound = 0x010A;
inline constexpr uint16_t kBufferTooSmall = 0x010B;
inline constexpr uint16_t kNoMemory = 0x010C;
inline constexpr uint16_t kDatabaseBusy = 0x010D;
inline constexpr uint16_t kNotAvailable = 0x010E;
inline constexpr uint16_t kFileReplaced = 0x010F;  // removed or replaced
inline constexpr uint16_t kItemNotFound = 0x0110;
inline constexpr uint16_t kWrongItemType = 0x0111;
inline constexpr uint16_t kItemTooLarge = 0x0112;
inline constexpr uint16_t kSameDatabase = 0x0113;    // copy into itself
inline constexpr uint16_t kUpdateConflict = 0x0114;  // changed since opened
inline constexpr uint16_t kNewerFormat = 0x0115;     // made by a newer version
inline constexpr uint16_t kOlderFormat = 0x0116;     // needs `vtserver upgrade`
// Kinds of disk error an administrator mends differently.
inline constexpr uint16_t kDiskFull = 0x0117;
inline constexpr uint16_t kReadOnly = 0x0118;
inline constexpr uint16_t kPermissionDenied = 0x0119;
inline constexpr uint16_t kIdTableFull = 0x0120;
inline constexpr uint16_t kNoLongerSelected = 0x0121;  // changed since search
// A database server reached over the network did not answer in time, or
// its connection was lost; the operation may be tried again.
inline constexpr uint16_t kServerNotResponding = 0x0123;
inline constexpr uint16_t kInvalidNote = 0x0222;
inline constexpr uint16_t kNoteDeleted = 549;  // 0x0225: document is gone
inline constexpr uint16_t kNotFound = 0x0404;  // 1028: no view, no key
inline constexpr uint16_t kFormulaSyntax = 0x0501;
inline constexpr uint16_t kFormulaCorrupt = 0x0502;
inline constexpr uint16_t kMailRuleRefused = 0x05C9;
inline constexpr uint16_t kQueueEmpty = 0x0A01;
inline constexpr uint16_t kQueueNotFound = 0x0A02;
inline constexpr uint16_t kQueueMessageTooLarge = 0x0A03;
inline constexpr uint16_t kRuntimeNotStarted = 0x0A10;
inline constexpr uint16_t kNoDataDirectory = 0x0A11;
inline constexpr uint16_t kNoDatabaseHandle = 0x1384;  // the router's own
}  // namespace err

}  // namespace vt

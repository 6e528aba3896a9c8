// The holder of one compiled selection formula, and the eight formulas that
// select every message the router touches.
#pragma once

#include <cstdint>

#include "notes/NotesServices.h"

namespace vt {

inline constexpr uint32_t kFormulaCompiledFlag = 0x08;
inline constexpr int kFormulaSlots = 8;

enum FormulaSlot : int {
  kSlotMail = 0,
  kSlotSpamB = 1,
  kSlotSpamC = 2,
  kSlotSpamD = 3,
  kSlotDeadMail = 4,
  kSlotIntercept = 5,
  kSlotHeld = 6,
  kSlotRelease = 7,
};

inline constexpr const char* kSlotFormulas[7] = {
    "SELECT ((Kesto_Router = \"M\") & (VeltraneVerified = \"1\"))",
    "SELECT ((Kesto_Router = \"B\") & (VeltraneVerified = \"1\"))",
    "SELECT ((Kesto_Router = \"C\") & (VeltraneVerified = \"1\"))",
    "SELECT ((Kesto_Router = \"D\") & (VeltraneVerified = \"1\"))",
    ("SELECT ((RoutingState = \"DEAD\") & (VeltraneProcess = \"1\") & "
     "(VeltraneVerified != \"1\"))"),
    "SELECT ((VeltraneProcess = \"1\") & (VeltraneVerified != \"1\"))",
    "SELECT ((RoutingState = \"HOLD\") & (VeltraneVerified = \"1\"))",
};
// Slot 5 when the configuration asks for interception of held mail.
inline constexpr char kHoldInterceptFormula[] =
    "SELECT ((RoutingState = \"HOLD\") & (VeltraneVerified != \"1\"))";
// Slot 7, with the release time in minutes in place of %ld.
inline constexpr char kReleaseFormulaTemplate[] =
    "SELECT ((@Created < @Adjust( @Now; 0; 0; 0; 0; -%ld; 0)) & "
    "(VeltraneVerified != \"1\"))";
inline constexpr size_t kReleaseFormulaSize = 100;

class SelectionFormula {
 public:
  explicit SelectionFormula(NotesServices& notes) : notes_(notes) {}
  ~SelectionFormula() { Free(); }
  SelectionFormula(const SelectionFormula&) = delete;
  SelectionFormula& operator=(const SelectionFormula&) = delete;

  // 0 on success (or for an empty text, which changes nothing); a failure is
  // logged with its offset and length and kept in status.
  Status Compile(const char* text);
  // Frees the compiled formula and returns the holder to its new state.
  void Free();
  bool IsCompiled() const { return (formulaFlags & kFormulaCompiledFlag) != 0; }

  uint16_t status = 0;
  uint16_t compiledLength = 0;
  uint16_t compileError = 0;
  uint16_t errorLine = 0;
  uint16_t errorColumn = 0;
  uint16_t errorOffset = 0;
  uint16_t errorLength = 0;
  uint32_t formulaFlags = 0;
  MemHandle formulaHandle;

 private:
  NotesServices& notes_;
};

}  // namespace vt

// Names and kinds of the NotesServices operations, from their one list.
#include "notes/NotesOperations.h"

namespace vt {
namespace {

struct OpInfo {
  const char* name;
  bool canFail;
};

constexpr OpInfo kOps[] = {
#define VT_NOTES_OP_STATUS(name) {#name, true},
#define VT_NOTES_OP_OTHER(name) {#name, false},
    VT_NOTES_OPERATIONS(VT_NOTES_OP_STATUS, VT_NOTES_OP_OTHER)
#undef VT_NOTES_OP_STATUS
#undef VT_NOTES_OP_OTHER
};
static_assert(sizeof kOps / sizeof kOps[0] == kNotesOpCount);

}  // namespace

const char* NotesOpName(NotesOp op) { return kOps[static_cast<int>(op)].name; }

bool NotesOpCanFail(NotesOp op) { return kOps[static_cast<int>(op)].canFail; }

}  // namespace vt

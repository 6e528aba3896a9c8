// Every operation of NotesServices, listed once in the interface's order:
// the list from which the wrapper's hooks and the test doubles' fault
// injection take their operation names, so that an operation cannot be
// left out or misspelt. S marks the operations that return a Status and so
// can fail; O those that cannot.
#pragma once

#include <cstdint>

namespace vt {

#define VT_NOTES_OPERATIONS(S, O) \
  S(StartRuntime)                 \
  O(StopRuntime)                  \
  S(StartProcessArguments)        \
  O(EndProcessArguments)          \
  S(RunProcessEntry)              \
  S(StartTaskRuntime)             \
  O(GetTaskModule)                \
  S(EndTaskRuntime)               \
  O(GetStartupErrorText)          \
  O(GetExitErrorText)             \
  O(LoadStatusText)               \
  O(LogMessageV)                  \
  O(SetStatusTextV)               \
  O(QueryTaskDefaults)            \
  O(DeleteStatusLine)             \
  O(CreateStatusLine)             \
  O(SetTaskDefaults)              \
  O(IdlePoll)                     \
  O(ShouldTerminate)              \
  O(SecondsElapsed)               \
  S(OpenQueue)                    \
  S(ReadQueue)                    \
  S(CloseQueue)                   \
  O(CurrentTime)                  \
  O(CompareTimeDates)             \
  O(CompareDates)                 \
  S(GetServerIdName)              \
  S(AllocateMemory)               \
  O(LockMemory)                   \
  O(UnlockMemory)                 \
  O(FreeMemory)                   \
  O(CanonicalSize)                \
  O(WriteCanonical)               \
  S(CreateIdTable)                \
  S(InsertId)                     \
  O(ScanIds)                      \
  O(CountIds)                     \
  S(ClearIdTable)                 \
  S(DestroyIdTable)               \
  S(ConstructNetPath)             \
  S(OpenDatabase)                 \
  S(CloseDatabase)                \
  S(CreateDatabase)               \
  S(GetDatabaseSpace)             \
  S(GetDatabaseInfo)              \
  O(SetDatabaseInfoField)         \
  S(SetDatabaseInfo)              \
  S(CopyDatabaseSettings)         \
  S(GetDatabaseId)                \
  S(CreateDatabaseCopy)           \
  S(OpenNote)                     \
  S(OpenNoteExtended)             \
  S(CreateNote)                   \
  S(UpdateNote)                   \
  S(CloseNote)                    \
  S(CopyNote)                     \
  S(DeleteNote)                   \
  S(CopySelectedNote)             \
  S(DeleteNoteVersion)            \
  S(GetNoteInfo)                  \
  S(GetNoteOriginatorId)          \
  S(GetNoteInfoByUnid)            \
  S(GetNoteField)                 \
  S(SetNoteField)                 \
  O(GetTextItem)                  \
  O(GetNumberItem)                \
  O(GetTextListCount)             \
  O(GetTextListEntry)             \
  S(GetItemInfo)                  \
  S(SetTextItem)                  \
  S(DeleteItem)                   \
  S(AppendItem)                   \
  S(CompileFormula)               \
  S(AddFormulaSummaryName)        \
  S(MergeFormulas)                \
  S(GetFormulaSize)               \
  S(EvaluateSelection)            \
  S(SearchDatabase)               \
  S(FindDesignNote)               \
  S(OpenCollection)               \
  S(UpdateCollection)             \
  S(FindByName)                   \
  S(ReadEntries)                  \
  S(CloseCollection)

enum class NotesOp : uint8_t {
#define VT_NOTES_OP_ENUMERATOR(name) k##name,
  VT_NOTES_OPERATIONS(VT_NOTES_OP_ENUMERATOR, VT_NOTES_OP_ENUMERATOR)
#undef VT_NOTES_OP_ENUMERATOR
};

inline constexpr int kNotesOpCount = 0
#define VT_NOTES_OP_COUNT(name) +1
    VT_NOTES_OPERATIONS(VT_NOTES_OP_COUNT, VT_NOTES_OP_COUNT)
#undef VT_NOTES_OP_COUNT
    ;

// The operation's name as the interface spells it ("CopyNote").
const char* NotesOpName(NotesOp op);
// Whether the operation returns a Status, and so can be made to fail.
bool NotesOpCanFail(NotesOp op);

}  // namespace vt

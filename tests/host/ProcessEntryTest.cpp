// The process entry: runtime start and stop around the task, the console
// text of a failed step, and the exit code.
#include <gtest/gtest.h>

#include "host/ProcessEntry.h"
#include "support/FakeSystem.h"
#include "support/RouterWorld.h"
#include "support/ScriptedNotes.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;
using testing::FaultyNotes;
using testing::RouterWorld;
using testing::ScriptedNotes;

// The runtime family answers from the script; the task ends at once.
class RuntimeNotes : public ScriptedNotes {
 public:
  using ScriptedNotes::ScriptedNotes;
  Status startRuntime, startArguments, runEntry, startTask;
  int stops = 0;
  int argumentEnds = 0;

  Status StartRuntime(int, char**) override { return startRuntime; }
  void StopRuntime() override { ++stops; }
  Status StartProcessArguments(int argc, char** argv, int* newArgc,
                               char*** newArgv) override {
    *newArgc = argc;
    *newArgv = argv;
    return startArguments;
  }
  void EndProcessArguments(int, char**) override { ++argumentEnds; }
  Status RunProcessEntry(ProcessEntryFunction, int, char**, uint32_t,
                         uint32_t) override {
    return runEntry;
  }
  Status StartTaskRuntime(int, char**) override { return startTask; }
  Status EndTaskRuntime(Status status) override { return status; }
};

class ProcessEntryTest : public ::testing::Test {
 protected:
  int Run() {
    char name[] = "vtrouter";
    char* argv[] = {name, nullptr};
    return ProcessEntry(notes_, system_, 1, argv);
  }

  RouterWorld world_;
  RuntimeNotes notes_{world_.server()};
  FakeMachine machine_;
  FakeSystem system_{machine_};
};

TEST_F(ProcessEntryTest, ATaskThatRanAndEndedGivesExitCodeZero) {
  notes_.turns = 0;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(notes_.stops, 1);
  EXPECT_EQ(notes_.argumentEnds, 1);
  EXPECT_TRUE(system_.console.empty());
  EXPECT_EQ(testing::LogTexts(world_.server()).back(),
            "VTRouter: Shutdown complete");
}

TEST_F(ProcessEntryTest, ARuntimeThatDoesNotStartShowsItsText) {
  notes_.startRuntime = err::kNoDataDirectory;
  const int code = Run();
  EXPECT_NE(code, 0);
  ASSERT_GE(system_.console.size(), 6u);
  EXPECT_EQ(system_.console.substr(0, 2), "\r\n");
  EXPECT_EQ(system_.console.substr(system_.console.size() - 4), "\r\n\r\n");
  // The exit code is the text's length, as the platform reports it.
  EXPECT_EQ(static_cast<size_t>(code), system_.console.size() - 6);
  EXPECT_EQ(notes_.stops, 0);
}

TEST_F(ProcessEntryTest, AHiddenStatusIsNotPrinted) {
  notes_.startRuntime = Status(Status::kHiddenFlag | err::kNoDataDirectory);
  EXPECT_NE(Run(), 0);
  EXPECT_TRUE(system_.console.empty());
}

TEST_F(ProcessEntryTest, FailedArgumentsStopTheRuntimeAgain) {
  notes_.startArguments = err::kInvalidArgument;
  EXPECT_NE(Run(), 0);
  EXPECT_EQ(notes_.stops, 1);
  EXPECT_EQ(notes_.argumentEnds, 0);
  EXPECT_NE(system_.console.find("\r\n"), std::string::npos);
}

TEST_F(ProcessEntryTest, AnEntryNotToRunInThisCallEndsWithMinusOne) {
  notes_.runEntry = err::kNotAvailable;
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(notes_.stops, 1);
  EXPECT_EQ(notes_.argumentEnds, 1);
  EXPECT_TRUE(testing::LogTexts(world_.server()).empty());  // no task ran
}

TEST_F(ProcessEntryTest, ATaskRuntimeFailureShowsTheExitText) {
  notes_.startTask = err::kRuntimeNotStarted;
  EXPECT_EQ(Run(), -1);
  EXPECT_NE(system_.console.find("\r\n"), std::string::npos);
  EXPECT_EQ(notes_.stops, 1);
}

}  // namespace
}  // namespace vt

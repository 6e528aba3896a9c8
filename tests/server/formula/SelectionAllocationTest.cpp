// The router searches 100,000 documents every two seconds with one decoded
// program, so selecting a note must not touch the heap. This binary counts
// every operator new to prove it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "FormulaTesting.h"

namespace {

// Function-local so that it exists before the first allocation of the
// process, whenever that happens.
std::atomic<long>& Allocations() {
  static std::atomic<long> count{0};
  return count;
}

void* CountedAllocate(std::size_t size) {
  Allocations().fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vt::formula {
namespace {

using testing::FakeNote;
using testing::FixedNow;

TEST(SelectionAllocation, RouterFormulasSelectWithoutAllocating) {
  const char* formulas[] = {
      "SELECT ((Kesto_Router = \"M\") & (VeltraneVerified = \"1\"))",
      "SELECT ((RoutingState = \"DEAD\") & (VeltraneProcess = \"1\") & "
      "(VeltraneVerified != \"1\"))",
      "SELECT ((RoutingState = \"HOLD\") & (VeltraneVerified != \"1\"))",
      "SELECT ((VeltraneProcess = \"1\") & (VeltraneVerified != \"1\"))",
      "SELECT ((@Created < @Adjust( @Now; 0; 0; 0; 0; -10; 0)) & "
      "(VeltraneVerified != \"1\"))",
      "@ALL",
  };
  const FakeNote notes[] = {
      FakeNote(),
      FakeNote()
          .Text("Kesto_Router", "M")
          .Text("VeltraneVerified", "1")
          .Text("RoutingState", "DEAD")
          .Text("VeltraneProcess", "1"),
      FakeNote()
          .List("Kesto_Router", {"B", "M"})
          .List("VeltraneVerified", {"0", "1"})
          .CreatedAt(testing::MinutesBefore(FixedNow(), 11)),
      FakeNote().Number("VeltraneVerified", 1).Text("RoutingState", "HOLD"),
      FakeNote().Text("RoutingState", "DEAD").Text("VeltraneProcess", "1"),
      FakeNote().Text("RoutingState", "HOLD").Text("VeltraneVerified", "0"),
  };
  for (const char* text : formulas) {
    const FormulaProgram program = testing::Program(text);
    int selected = 0;
    const long before = Allocations().load();
    for (int round = 0; round < 100; ++round) {
      for (const FakeNote& note : notes) {
        selected += program.Selects(note, FixedNow()) ? 1 : 0;
      }
    }
    const long after = Allocations().load();
    EXPECT_EQ(after - before, 0) << text;
    EXPECT_GT(selected, 0) << text;
  }
}

TEST(SelectionAllocation, TheCounterSeesAllocations) {
  const long before = Allocations().load();
  std::string grown(1000, 'x');
  EXPECT_GT(Allocations().load(), before);
  EXPECT_EQ(grown.size(), 1000u);
}

}  // namespace
}  // namespace vt::formula

// What a refused trace scope or message may cost: the filter test and the depth counter, no
// allocation. Allocations are counted by replacing the global allocation functions in this
// test program.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <new>

#include "LogTestSupport.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "log/Dumps.h"
#include "log/LogHelpers.h"

namespace {
std::atomic<long> g_allocations{0};
}

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST_F(LogTest, RefusedScopesAndMessagesAllocateNothing) {
  EnableLog("CostLog", 0x80000000u);  // on, errors only
  CLog2 errorsOnly(std::string("CostLog"));
  CLog2 off{std::string()};
  DWORD code = 0;
  SCANNER_PARAMETERS params{};

  const long before = g_allocations.load();
  for (int i = 0; i < 100; ++i) {
    CHRESULT2 a(&off, "Cost::Off", 1, &code);
    CHRESULT2 b(&off, "Cost::OffArgs", 1, &code, 0, "%d", i);
    CHRESULT2 c(&errorsOnly, "Cost::Succeeds", 1, &code);
    CHRESULT2 d(nullptr, "Cost::NoLog");
    off.print(0x80000008u, "refused %d", i);
    errorsOnly.print(0x10000008u, "refused %d", i);
    errorsOnly.printUnindented(0x20000008u, "refused %d", i);
    DumpScannerParameters(&errorsOnly, params, 0);
    LogText("no global log");
  }
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_TRUE(MessagesOf(PathOf("cavix.log")).empty());

  // The same calls with an admitted level do allocate: the counter sees them.
  errorsOnly.print(0x80000008u, "admitted");
  EXPECT_GT(g_allocations.load() - before, 0);
}

}  // namespace

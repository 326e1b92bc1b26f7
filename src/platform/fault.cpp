#include "platform/fault.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Platform {
namespace {

// The file operations that consult the seam, one slot each. A fixed table of
// atomics: a file call never takes a lock, and until a test arms the seam it
// costs one relaxed load.
constexpr const char* kOperations[] = {
    "Create",   "OpenRead",   "Read",          "Write",       "Seek",          "Flush",
    "GetSize",  "CopyItem",   "MoveItem",      "RemoveFile",  "MakeDirectory", "RemoveEmptyDirectory",
    "GetAttributes", "SetAttributes", "GetFileTimes", "SetFileTimes", "SetTimes", "ListDirectory", "ReplaceWithFile",
};
constexpr std::size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

struct Slot {
  std::atomic<int> calls{0};
  std::atomic<int> nth{0};  // 0: no fault pending
  std::atomic<ErrorCode> error{0};
};

Slot g_slots[kOperationCount];
// False until a test first sets a fault or clears them; then calls are counted.
std::atomic<bool> g_armed{false};

// The slot of `operation`. An unknown name is a fault in the caller's code
// (a new file operation without a slot, or a test's typo): stop at once
// rather than let a fault silently never fire.
Slot& SlotOf(const char* operation) {
  for (std::size_t i = 0; i < kOperationCount; ++i) {
    if (std::strcmp(kOperations[i], operation) == 0) return g_slots[i];
  }
  std::fprintf(stderr, "fault seam: unknown operation '%s'\n", operation);
  std::abort();
}

}  // namespace

void FailNthCall(const char* operation, int nth, ErrorCode error) {
  Slot& slot = SlotOf(operation);
  slot.nth.store(0);
  slot.calls.store(0);
  slot.error.store(error);
  slot.nth.store(nth);
  g_armed.store(true);
}

void ClearFaults() {
  for (Slot& slot : g_slots) {
    slot.nth.store(0);
    slot.calls.store(0);
  }
  g_armed.store(true);  // keep counting calls for CallCount
}

int CallCount(const char* operation) { return SlotOf(operation).calls.load(); }

bool ShouldFailCall(const char* operation) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  Slot& slot = SlotOf(operation);
  const int call = slot.calls.fetch_add(1) + 1;
  int nth = slot.nth.load();
  // Exactly one caller takes the fault, even when threads race for it.
  if (nth == 0 || call != nth || !slot.nth.compare_exchange_strong(nth, 0)) return false;
  SetLastErrorCode(slot.error.load());
  return true;
}

}  // namespace Platform

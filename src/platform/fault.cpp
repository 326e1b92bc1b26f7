#include "platform/fault.h"

#include <map>
#include <mutex>
#include <string>

namespace Platform {
namespace {

struct Fault {
  int calls = 0;
  int nth = 0;  // 0: none pending
  ErrorCode error = 0;
};

struct FaultTable {
  std::mutex lock;
  std::map<std::string, Fault> faults;
  bool any = false;  // fast path: no test has touched the seam
};

FaultTable& Table() {
  static FaultTable table;
  return table;
}

}  // namespace

void FailNthCall(const char* operation, int nth, ErrorCode error) {
  FaultTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.faults[operation] = Fault{0, nth, error};
  table.any = true;
}

void ClearFaults() {
  FaultTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.faults.clear();
  table.any = true;  // keep counting calls for CallCount
}

int CallCount(const char* operation) {
  FaultTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.faults.find(operation);
  return it == table.faults.end() ? 0 : it->second.calls;
}

bool ShouldFailCall(const char* operation) {
  FaultTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  if (!table.any) return false;
  Fault& fault = table.faults[operation];
  ++fault.calls;
  if (fault.nth != 0 && fault.calls == fault.nth) {
    fault.nth = 0;
    SetLastErrorCode(fault.error);
    return true;
  }
  return false;
}

}  // namespace Platform

// Test-only fault injection at the platform seam: a test can make the Nth call
// of a named file operation fail with a chosen error. Operation names are the
// names of the functions in file.h ("Create", "Write", "MakeDirectory", ...);
// an unknown name ends the process. Until a test uses the seam, a file call
// pays one relaxed atomic load for it; after that, a few atomics, no lock.
// Any thread may call these.
#pragma once
#include "platform/error.h"

namespace Platform {

// From now on, the nth (1-based) call of `operation` fails with `error`,
// counted from this call. One fault per operation; a new one replaces it.
void FailNthCall(const char* operation, int nth, ErrorCode error);
// Removes every pending fault and resets the counters.
void ClearFaults();
// How many times `operation` has been called since its fault was set (or
// since ClearFaults); lets a test find the number of calls a job makes.
int CallCount(const char* operation);

// Used by the implementations: counts the call and returns true (with the
// last error set) when this call is to fail.
bool ShouldFailCall(const char* operation);

}  // namespace Platform

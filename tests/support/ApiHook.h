#pragma once
// Test seam on the real system: replaces an entry of this executable's import
// table, so the program's own calls to a system function pass through a wrapper
// of the test. The wrapper calls the original, which HookImport returns.

#include <windows.h>

// Null when the executable does not import `function` from `dll`.
void* HookImport(const char* dll, const char* function, void* replacement);

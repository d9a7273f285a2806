#pragma once
#include <windows.h>

// Replaces this executable's import of `function` from `dll`, so the program's own
// calls pass through `replacement`; returns the original, or null when not imported.
void* HookImport(const char* dll, const char* function, void* replacement);

#pragma once
#include <windows.h>

// Replaces this executable's import of `function` from `dll`, so the program's own
// calls pass through `replacement`; returns the original, or null when not imported.
void* HookImport(const char* dll, const char* function, void* replacement);
// The same for a function of the import's own type.
template <typename F> F HookImport(const char* dll, const char* function, F replacement) {
    return reinterpret_cast<F>(HookImport(dll, function, reinterpret_cast<void*>(replacement)));
}
// The same for the life of the object.
template <typename F> struct ImportHook {
    ImportHook(const char* dll, const char* function, F replacement)
        : dll(dll), function(function), original(HookImport(dll, function, replacement)) {}
    ~ImportHook() { HookImport(dll, function, original); }
    const char *dll, *function;
    F original; // null if there was no import to replace
};

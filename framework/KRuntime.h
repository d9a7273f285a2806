#pragma once
// The framework's process-wide machinery: start-up and shutdown, and the KRuntime
// singleton with the module instance, a lock, counters and the id registries.

#include <windows.h>

#include "KPointerList.h"

class KTimer;
class KMenuItem;

// Serialises window creation. When both are held, creationLock comes before
// KRuntime::lock.
extern CRITICAL_SECTION creationLock;

class KRuntime {
  public:
    static KRuntime* GetInstance();
    // Destroys the singleton (last FrameworkShutdown only).
    static void DestroyInstance();
    // The module instance of the runtime (creating it if needed), null without one.
    static HINSTANCE ModuleInstance();

    KTimer* GetTimerByID(UINT id);
    KMenuItem* GetMenuItemByID(UINT id);

    HINSTANCE hInstance;
    CRITICAL_SECTION lock; // guards the counters, the class-name buffer and registry changes
    int classCounter;
    int timerCounter;
    int menuItemCounter;
    KPointerList* menuItemRegistry; // owned; ids from 30001
    KPointerList* timerRegistry;    // owned; ids from 1001

    static const UINT firstTimerID = 1001;
    static const UINT firstMenuItemID = 30001;

  private:
    KRuntime();
    ~KRuntime();
    KRuntime(const KRuntime&) = delete;
    KRuntime& operator=(const KRuntime&) = delete;
};

// Reference counted: only the first call starts the framework and only the
// matching last shutdown takes it down.
void FrameworkInit(HINSTANCE instance);
void FrameworkShutdown();

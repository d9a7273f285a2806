#pragma once
// Growable array of untyped pointers, used by the runtime's id registries.

#include <windows.h>

class KPointerList {
  public:
    // useLock: whether Add and the lookups take the list's own lock. The runtime's
    // registries run without it; their callers hold KRuntime's lock instead.
    KPointerList(int capacity, int growBy, bool useLock);
    ~KPointerList();
    KPointerList(const KPointerList&) = delete;
    KPointerList& operator=(const KPointerList&) = delete;

    // Appends p. On a failed growth the list stays as it was and the result is false.
    bool Add(void* p);
    // The entry at id - base, or null when that position is not in use.
    void* GetByID(UINT id, int base);
    // Replaces the entry at index (in use) with p; false when index is out of range.
    bool SetAt(int index, void* p);

    int GetCount() const { return count; }
    int GetCapacity() const { return capacity; }

  private:
    int count;
    int capacity;
    int growBy;
    void** items;
    CRITICAL_SECTION lock;
    bool useLock;
};

#include "KPointerList.h"

#include <cstdint>
#include <cstdlib>

KPointerList::KPointerList(int initialCapacity, int grow, bool locked)
    : count(0), capacity(initialCapacity), growBy(grow), items(nullptr), useLock(locked) {
    items = static_cast<void**>(malloc(sizeof(void*) * capacity));
    if (items == nullptr) {
        capacity = 0;
    }
    if (useLock) {
        InitializeCriticalSection(&lock);
    }
}

KPointerList::~KPointerList() {
    free(items);
    if (useLock) {
        DeleteCriticalSection(&lock);
    }
}

bool KPointerList::Add(void* p) {
    if (useLock) {
        EnterCriticalSection(&lock);
    }
    bool added = true;
    if (capacity < count + 1) {
        // The byte count is computed wide: a wrapped size would shrink the storage.
        // A step of 0 or less makes no room, so the full list refuses the entry.
        uint64_t bytes =
            static_cast<uint64_t>(sizeof(void*)) * (static_cast<uint64_t>(capacity) + growBy);
        void** grown =
            growBy > 0 && bytes <= SIZE_MAX && capacity + static_cast<int64_t>(growBy) <= INT32_MAX
                ? static_cast<void**>(realloc(items, static_cast<size_t>(bytes)))
                : nullptr;
        if (grown == nullptr) {
            added = false;
        } else {
            items = grown;
            capacity += growBy;
        }
    }
    if (added) {
        items[count++] = p;
    }
    if (useLock) {
        LeaveCriticalSection(&lock);
    }
    return added;
}

void* KPointerList::GetByID(UINT id, int base) {
    if (useLock) {
        EnterCriticalSection(&lock);
    }
    int index = static_cast<int>(id - static_cast<UINT>(base));
    void* result = (index >= 0 && index < count) ? items[index] : nullptr;
    if (useLock) {
        LeaveCriticalSection(&lock);
    }
    return result;
}

bool KPointerList::SetAt(int index, void* p) {
    if (useLock) {
        EnterCriticalSection(&lock);
    }
    bool inRange = index >= 0 && index < count;
    if (inRange) {
        items[index] = p;
    }
    if (useLock) {
        LeaveCriticalSection(&lock);
    }
    return inRange;
}

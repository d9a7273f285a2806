#pragma once
// KString: immutable, reference-counted UTF-16 text. Copies share one block;
// every operation that yields another text builds a new block. Blocks may be
// shared across threads: the count changes only with interlocked operations and
// the ANSI copy is made once, under the block's own lock.

#include <windows.h>

struct KStringData {
    LONG refCount;  // interlocked only
    char* ansiText; // CP_ACP copy, made on demand under ansiLock
    CRITICAL_SECTION ansiLock;
    wchar_t* wideText; // immutable once shared
    int length;        // wide characters before the terminator
};

class KString {
  public:
    KString();
    KString(const KString& other);
    KString(const wchar_t* text);
    KString(const char* text);
    KString(int value);
    virtual ~KString();

    KString& operator=(const KString& other);
    KString& operator=(const wchar_t* text);

    operator const wchar_t*() const;
    operator const char*() const;

    virtual const KString operator+(const KString& right);
    virtual KString SubString(int start, int end);
    virtual bool Equals(const KString& other);
    virtual bool StartsWithChar(char c);
    virtual bool StartsWithChar(wchar_t c);
    virtual bool EndsWithChar(char c);
    virtual bool EndsWithChar(wchar_t c);
    virtual bool IsQuotedString();
    virtual wchar_t GetCharAt(int index);
    virtual int GetLength();
    virtual bool IsEmpty();
    virtual int GetIntValue();

  private:
    // Takes ownership of a malloc'd wide buffer. Returns null (and frees the
    // buffer) when the block cannot be allocated.
    static KStringData* MakeBlock(wchar_t* text, int length);
    static KStringData* CopyBlock(const wchar_t* text);
    static void Retain(KStringData* block);
    static void Release(KStringData* block);

    KStringData* data;
};

const KString operator+(const wchar_t* left, const KString& right);
const KString operator+(const KString& left, const KString& right);

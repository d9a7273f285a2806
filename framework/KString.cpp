#include "KString.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

// Out of memory anywhere here gives the empty string: no exception leaves a KString.

KStringData* KString::MakeBlock(wchar_t* text, int length) {
    if (text == nullptr) {
        return nullptr;
    }
    KStringData* block = new (std::nothrow) KStringData;
    if (block == nullptr) {
        free(text);
        return nullptr;
    }
    block->refCount = 0;
    block->ansiText = nullptr;
    InitializeCriticalSection(&block->ansiLock);
    block->wideText = text;
    block->length = length;
    InterlockedIncrement(&block->refCount);
    return block;
}

KStringData* KString::CopyBlock(const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0') {
        return nullptr;
    }
    size_t length = wcslen(text);
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (copy == nullptr) {
        return nullptr;
    }
    memcpy(copy, text, (length + 1) * sizeof(wchar_t));
    return MakeBlock(copy, static_cast<int>(length));
}

void KString::Retain(KStringData* block) {
    if (block != nullptr) {
        InterlockedIncrement(&block->refCount);
    }
}

void KString::Release(KStringData* block) {
    if (block != nullptr && InterlockedDecrement(&block->refCount) == 0) {
        free(block->ansiText);
        free(block->wideText);
        DeleteCriticalSection(&block->ansiLock);
        delete block;
    }
}

KString::KString() : data(nullptr) {}

KString::KString(const KString& other) : data(other.data) {
    Retain(data);
}

KString::KString(const wchar_t* text) : data(CopyBlock(text)) {}

KString::KString(const char* text) : data(nullptr) {
    if (text == nullptr) {
        return;
    }
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size == 0) {
        return;
    }
    wchar_t* buffer = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
    if (buffer == nullptr) {
        return;
    }
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, size) == 0) {
        free(buffer);
        return;
    }
    // An empty narrow text gives a block of length 0, not the absent block.
    data = MakeBlock(buffer, size - 1);
}

KString::KString(int value) : data(nullptr) {
    wchar_t* buffer = static_cast<wchar_t*>(malloc(33 * sizeof(wchar_t)));
    if (buffer == nullptr) {
        return;
    }
    // Digits from an unsigned magnitude, so INT_MIN needs no special case.
    unsigned int magnitude =
        value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    wchar_t digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = 0;
    if (value < 0) {
        buffer[length++] = L'-';
    }
    while (count > 0) {
        buffer[length++] = digits[--count];
    }
    buffer[length] = L'\0';
    data = MakeBlock(buffer, length);
}

KString::~KString() {
    Release(data);
}

KString& KString::operator=(const KString& other) {
    // Retain first: assigning a string to itself must not free its block.
    KStringData* incoming = other.data;
    Retain(incoming);
    Release(data);
    data = incoming;
    return *this;
}

KString& KString::operator=(const wchar_t* text) {
    KStringData* incoming = CopyBlock(text);
    Release(data);
    data = incoming;
    return *this;
}

KString::operator const wchar_t*() const {
    return data != nullptr ? data->wideText : nullptr;
}

KString::operator const char*() const {
    if (data == nullptr) {
        return nullptr;
    }
    EnterCriticalSection(&data->ansiLock);
    if (data->ansiText == nullptr) {
        int size = WideCharToMultiByte(CP_ACP, 0, data->wideText, -1, nullptr, 0, nullptr, nullptr);
        if (size != 0) {
            char* buffer = static_cast<char*>(malloc(size));
            if (buffer != nullptr && WideCharToMultiByte(CP_ACP, 0, data->wideText, -1, buffer,
                                                         size, nullptr, nullptr) == 0) {
                free(buffer);
                buffer = nullptr;
            }
            data->ansiText = buffer;
        }
    }
    char* result = data->ansiText;
    LeaveCriticalSection(&data->ansiLock);
    return result;
}

const KString KString::operator+(const KString& right) {
    if (right.data == nullptr || right.data->length == 0) {
        return *this;
    }
    int a = right.data->length;
    int b = data != nullptr ? data->length : 0;
    wchar_t* buffer = static_cast<wchar_t*>(malloc((a + b + 1) * sizeof(wchar_t)));
    KString result;
    if (buffer == nullptr) {
        return result;
    }
    if (b > 0) {
        memcpy(buffer, data->wideText, b * sizeof(wchar_t));
    }
    memcpy(buffer + b, right.data->wideText, (a + 1) * sizeof(wchar_t));
    result.data = MakeBlock(buffer, a + b);
    return result;
}

KString KString::SubString(int start, int end) {
    int n = GetLength();
    if (start < 0 || start > n - 1 || start >= end || end > n - 1) {
        return KString();
    }
    int count = end - start + 1;
    wchar_t* buffer = static_cast<wchar_t*>(malloc((count + 1) * sizeof(wchar_t)));
    if (buffer == nullptr) {
        return KString();
    }
    memcpy(buffer, data->wideText + start, count * sizeof(wchar_t));
    buffer[count] = L'\0';
    KString result(buffer);
    free(buffer);
    return result;
}

bool KString::Equals(const KString& other) {
    if (other.data == nullptr || other.data->length == 0 || IsEmpty()) {
        return false;
    }
    return data->length == other.data->length &&
           memcmp(data->wideText, other.data->wideText, data->length * sizeof(wchar_t)) == 0;
}

bool KString::StartsWithChar(char c) {
    if (IsEmpty()) {
        return false;
    }
    const char* ansi = *this;
    return ansi != nullptr && ansi[0] == c;
}

bool KString::StartsWithChar(wchar_t c) {
    return !IsEmpty() && data->wideText[0] == c;
}

bool KString::EndsWithChar(char c) {
    if (IsEmpty()) {
        return false;
    }
    const char* ansi = *this;
    if (ansi == nullptr || ansi[0] == '\0') {
        return false;
    }
    return ansi[strlen(ansi) - 1] == c;
}

bool KString::EndsWithChar(wchar_t c) {
    return !IsEmpty() && data->wideText[data->length - 1] == c;
}

bool KString::IsQuotedString() {
    return GetLength() > 1 && StartsWithChar(L'"') && EndsWithChar(L'"');
}

wchar_t KString::GetCharAt(int index) {
    if (index < 0 || index > GetLength() - 1) {
        return static_cast<wchar_t>(0xFFFF);
    }
    return data->wideText[index];
}

int KString::GetLength() {
    return data != nullptr ? data->length : 0;
}

bool KString::IsEmpty() {
    return data == nullptr || data->length == 0;
}

int KString::GetIntValue() {
    if (IsEmpty()) {
        return 0;
    }
    // long is 32 bits on Windows, so wcstol clamps exactly to the int range.
    return static_cast<int>(wcstol(data->wideText, nullptr, 10));
}

const KString operator+(const wchar_t* left, const KString& right) {
    KString result(left);
    return result + right;
}

const KString operator+(const KString& left, const KString& right) {
    KString result(left);
    return result + right;
}

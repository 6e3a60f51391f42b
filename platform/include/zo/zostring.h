// SPDX-License-Identifier: Apache-2.0
// Text in the process's multi-byte form (UTF-8), with UTF-16 import and export.
#pragma once

#include <cstddef>
#include <new>

#include "zo/zoexport.h"

// A value type: one thread at a time per object; copies are independent. A byte that is not
// part of valid UTF-8 counts, and exports, as one U+FFFD unit. A text of fewer than kInline
// bytes lives in the object itself; objects come from a cache the library keeps (new and delete
// them as usual, on any thread), so lists of short texts cost no heap traffic per element.
class ZO_API ZoString {
public:
    static constexpr std::size_t kInline = 39;  // bytes held in place, terminator included

    ZoString() = default;        // a null string
    ZoString(const char* text);  // null stays null
    ZoString(const char* text, std::size_t bytes);
    // The first bytes of text (which must not hold a NUL among them); null stays null.
    ZoString(const ZoString& other);
    ZoString& operator=(const ZoString& other);
    ~ZoString();

    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void* string, std::size_t size) noexcept;
    static void operator delete(void*, void*) noexcept {}

    static std::size_t HeapBytes(std::size_t bytes) { return bytes < kInline ? 0 : bytes + 1; }
    // The heap block, beyond the object, that a text of this many bytes takes; 0 for none.

    unsigned int length() const;
    // UTF-16 code units of the text, so a Unicode frame always carries exactly the text.

    const char* mbcs() const { return m_bNull ? nullptr : Text(); }  // null for a null string
    std::size_t mbcsBytes() const { return m_nBytes; }  // of the UTF-8 text, without terminator
    void set_null();
    bool IsEmpty() const { return m_bNull || m_nBytes == 0; }  // null or of length 0
    bool IsNull() const { return m_bNull; }

    void UnicodeImport(const unsigned short* units);
    // Takes a NUL-terminated array of UTF-16 code units; a null pointer gives a null string.
    // An unpaired surrogate becomes U+FFFD.

    void UnicodeExport(unsigned short* buffer, unsigned int n) const;
    // Writes the first n code units into buffer (room for n + 1) and a terminating zero unit;
    // a shorter text is written whole and terminated.

    bool operator==(const ZoString& other) const;

private:
    const char* Text() const { return m_pHeap != nullptr ? m_pHeap : m_Inline; }
    void Assign(const char* text, std::size_t bytes);  // a text, not null

    char* m_pHeap = nullptr;  // the text when it does not fit in place
    std::size_t m_nBytes = 0;
    bool m_bNull = true;
    char m_Inline[kInline];  // the text and its terminator while m_pHeap is null
};

ZO_API int ZOR_NLS_stricmp(const char* a, const char* b);
// Any thread. Case-insensitive comparison (ASCII folding); zero when equal, a null pointer
// equals another null and sorts before any text.

// Text in the process's multi-byte form (UTF-8), with UTF-16 import and export.
#pragma once

#include <string>

#include "zo/zoexport.h"

// A value type: one thread at a time per object; copies are independent. A byte that is not
// part of valid UTF-8 counts, and exports, as one U+FFFD unit.
class ZO_API ZoString {
public:
    ZoString() = default;        // a null string
    ZoString(const char* text);  // null stays null
    ZoString(const ZoString& other) = default;
    ZoString& operator=(const ZoString& other) = default;
    ~ZoString() = default;

    unsigned int length() const;
    // UTF-16 code units of the text, so a Unicode frame always carries exactly the text.

    const char* mbcs() const;  // the UTF-8 text; null for a null string
    void set_null();
    bool IsEmpty() const { return m_null || m_text.empty(); }  // null or of length 0
    bool IsNull() const { return m_null; }

    void UnicodeImport(const unsigned short* units);
    // Takes a NUL-terminated array of UTF-16 code units; a null pointer gives a null string.
    // An unpaired surrogate becomes U+FFFD.

    void UnicodeExport(unsigned short* buffer, unsigned int n) const;
    // Writes the first n code units into buffer (room for n + 1) and a terminating zero unit;
    // a shorter text is written whole and terminated.

    bool operator==(const ZoString& other) const {
        return m_null == other.m_null && m_text == other.m_text;
    }

private:
    std::string m_text;  // empty while null
    bool m_null = true;
};

ZO_API int ZOR_NLS_stricmp(const char* a, const char* b);
// Any thread. Case-insensitive comparison (ASCII folding); zero when equal, a null pointer
// equals another null and sorts before any text.

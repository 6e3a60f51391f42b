// SPDX-License-Identifier: Apache-2.0
#include "zo/zostring.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "zo/zoblockcache.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kFirstSupplementary = 0x10000;

bool IsSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}
bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Decodes the character at text[pos] and moves pos past it. A byte that does not start a
// complete, shortest-form sequence gives U+FFFD and moves on by that one byte only, so the
// bytes after it are decoded afresh.
char32_t DecodeUtf8(const char* text, std::size_t size, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t extra = 0;
    char32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        smallest = kFirstSupplementary;
    } else {
        ++pos;
        return kReplacement;
    }
    if (size - pos <= extra) {
        ++pos;
        return kReplacement;
    }
    char32_t code = lead & (0x3F >> extra);  // the lead byte's payload bits
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || IsSurrogate(code)) {
        ++pos;
        return kReplacement;
    }
    pos += extra + 1;
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < kFirstSupplementary) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int FoldAscii(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte;
}

// Strings are made and released by the thousand for a list of texts; the objects come from here.
constexpr std::size_t kStringStoreBatches = 64;
// 16,384 strings of 56 bytes in the store, 1 MiB of heap with their block headers.

ZoBlockCache& Strings() {
    static ZoBlockCache* const cache =
        new ZoBlockCache(sizeof(ZoString), kStringStoreBatches, "ZoString");
    return *cache;
}

}  // namespace

ZoString::ZoString(const char* text) {
    if (text != nullptr) {
        Assign(text, std::strlen(text));
    }
}

ZoString::ZoString(const char* text, std::size_t bytes) {
    if (text != nullptr) {
        Assign(text, bytes);
    }
}

ZoString::ZoString(const ZoString& other) {
    if (!other.m_bNull) {
        Assign(other.Text(), other.m_nBytes);
    }
}

ZoString& ZoString::operator=(const ZoString& other) {
    if (other.m_bNull) {
        set_null();
    } else if (this != &other) {
        Assign(other.Text(), other.m_nBytes);
    }
    return *this;
}

ZoString::~ZoString() {
    delete[] m_pHeap;
}

void ZoString::Assign(const char* text, std::size_t bytes) {
    // The old heap block goes last: text may be in it.
    char* heap = bytes < kInline ? nullptr : new char[bytes + 1];
    char* target = heap != nullptr ? heap : m_Inline;
    std::memmove(target, text, bytes);
    target[bytes] = 0;
    delete[] m_pHeap;
    m_pHeap = heap;
    m_nBytes = bytes;
    m_bNull = false;
}

void* ZoString::operator new(std::size_t size) {
    return Strings().AllocOrThrow(size);
}

void* ZoString::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Strings().Alloc(size);
}

void ZoString::operator delete(void* string, std::size_t size) noexcept {
    Strings().Free(string, size);
}

unsigned int ZoString::length() const {
    unsigned int units = 0;
    const char* text = Text();
    for (std::size_t pos = 0; pos < m_nBytes;) {
        units += DecodeUtf8(text, m_nBytes, pos) >= kFirstSupplementary ? 2 : 1;
    }
    return units;
}

void ZoString::set_null() {
    delete[] m_pHeap;
    m_pHeap = nullptr;
    m_nBytes = 0;
    m_bNull = true;
}

bool ZoString::operator==(const ZoString& other) const {
    return m_bNull == other.m_bNull && m_nBytes == other.m_nBytes &&
           std::memcmp(Text(), other.Text(), m_nBytes) == 0;
}

void ZoString::UnicodeImport(const unsigned short* units) {
    if (units == nullptr) {
        set_null();
        return;
    }
    std::string text;
    for (std::size_t i = 0; units[i] != 0; ++i) {
        char32_t code = units[i];
        // units[i] is not the terminator, so units[i + 1] is still inside the array.
        if (IsHighSurrogate(code) && IsLowSurrogate(units[i + 1])) {
            code = kFirstSupplementary + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (IsSurrogate(code)) {
            code = kReplacement;
        }
        AppendUtf8(text, code);
    }
    Assign(text.data(), text.size());
}

void ZoString::UnicodeExport(unsigned short* buffer, unsigned int n) const {
    if (buffer == nullptr) {
        return;
    }
    unsigned int written = 0;
    const char* text = Text();
    for (std::size_t pos = 0; written < n && pos < m_nBytes;) {
        char32_t code = DecodeUtf8(text, m_nBytes, pos);
        if (code < kFirstSupplementary) {
            buffer[written++] = static_cast<unsigned short>(code);
            continue;
        }
        code -= kFirstSupplementary;
        buffer[written++] = static_cast<unsigned short>(0xD800 + (code >> 10));
        // Exactly n units: a pair cut by the limit keeps only its first half.
        if (written < n) {
            buffer[written++] = static_cast<unsigned short>(0xDC00 + (code & 0x3FF));
        }
    }
    buffer[written] = 0;
}

int ZOR_NLS_stricmp(const char* a, const char* b) {
    if (a == b) {
        return 0;
    }
    if (a == nullptr) {
        return -1;
    }
    if (b == nullptr) {
        return 1;
    }
    for (;; ++a, ++b) {
        const int left = FoldAscii(*a);
        const int right = FoldAscii(*b);
        if (left != right || left == 0) {
            return left - right;
        }
    }
}

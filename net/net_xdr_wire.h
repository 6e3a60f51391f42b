// SPDX-License-Identifier: Apache-2.0
// The wire forms of the fixed-width primitives, to and from bytes in memory.
#pragma once

#include <cstdint>
#include <cstring>

class ZoString;

inline void PutU16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline std::uint16_t GetU16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline void PutU32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline std::uint32_t GetU32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Doubles travel least significant byte first, the reverse of the integers: peers depend on it.
inline void PutDouble(unsigned char* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

inline double GetDouble(const unsigned char* p) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits |= std::uint64_t{p[i]} << (8 * i);
    }
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

bool NetImportUnicode(const unsigned char* bytes, std::uint32_t k, std::uint16_t marker,
                      std::uint16_t* units, ZoString& text);
// Calling thread. The k units of a received Unicode frame, in the order its marker tells, into
// text by way of units (room for k + 1; it may be bytes itself). The text is charged to the decode
// budget first: false, text unchanged, when that refuses it.

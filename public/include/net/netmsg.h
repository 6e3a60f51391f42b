// SPDX-License-Identifier: Apache-2.0
// Call records: one type carries both the request and the reply.
#pragma once

#include <cstdint>

struct sL_VALUE;

struct MSGINTCALL {
    std::int32_t lValue;     // the argument; the answer when the reply carries data
    std::uint32_t ulStatus;  // set by the answering side
    std::uint32_t ulFlags;   // NET_FLAG_NOREPLY, NET_FLAG_RETURNDATA
    std::int32_t lHandle;    // the handle number from the handshake
};

struct MSGREALCALL {
    double dValue;
    std::uint32_t ulStatus;
    std::uint32_t ulFlags;
    std::int32_t lHandle;
};

struct MSGSTRINGCALL {
    char* pszValue;  // malloc'd when decoded; released with free() or StringCall(XDR_FREE)
    std::uint32_t ulStatus;
    std::uint32_t ulFlags;
    std::int32_t lHandle;
};

// The argument block of a user call. A decoded block is allocated with new, its values with
// new[]; UserCall(XDR_FREE) releases both, so a block handed to it must be made the same way.
// Lists inside the values of a block that the library releases become the library's.
struct MSGUSERDATA {
    std::uint32_t ulReserved;
    std::int32_t lHandle;      // a decoded block holds the handle number of its call
    std::uint16_t usType;      // passed through uninterpreted
    unsigned char fSpare : 4;
    unsigned char fFlag10 : 1;  // clear in a decoded block
    unsigned char fFlag20 : 1;  // clear in a decoded block
    unsigned char fFlag40 : 1;  // set in a decoded block
    unsigned char fFlag80 : 1;  // set in a decoded block
    std::int32_t lCount;
    sL_VALUE* pValues;  // lCount values, or null when lCount is not positive
};

struct MSGUSERCALL {
    std::uint32_t ulStatus;
    std::uint32_t ulFlags;
    std::int32_t lHandle;
    std::int32_t lCount;        // after a decode: values in the block (0 without one)
    std::uint32_t ulType;       // after a decode: the block's type word (0 without one)
    std::uint32_t ulReserved;   // not transferred
    MSGUSERDATA* pData;         // the argument block, or null
};

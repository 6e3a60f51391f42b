// SPDX-License-Identifier: Apache-2.0
// Typed values: what the arguments and answers of a user call are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "net/netexport.h"

class ZoString;
struct sLIST_HEADER;

// Type codes of sL_VALUE::usType. List codes 0..31 hold elements of code (list code + 32000).
enum : std::uint16_t {
    NET_TYPE_UNKNOWN = 32000,
    NET_TYPE_BOOLEAN = 32001,
    NET_TYPE_INTEGER = 32002,
    NET_TYPE_REAL = 32003,
    NET_TYPE_STRING = 32004,
    NET_TYPE_TIME = 32005,
    NET_TYPE_DATE = 32006,
    NET_TYPE_HANDLE_FIRST = 32007,
    NET_TYPE_HANDLE_LAST = 32031,
    NET_TYPE_LIST_LAST = 31
};

// Which member of sL_VALUE::data is in use.
enum : unsigned char {
    NET_KIND_NONE = 0,  // unknown, list or reference
    NET_KIND_BOOLEAN = 1,
    NET_KIND_INTEGER = 2,
    NET_KIND_REAL = 3,    // data.pdValue, owned
    NET_KIND_STRING = 4,  // data.pString, owned
    NET_KIND_TIME = 5,
    NET_KIND_DATE = 6,
    NET_KIND_HANDLE = 7
};

// Four one-byte components; 0..2 travel, component 3 never does and is zero after a decode.
struct TIMEREC {
    unsigned char ucComponent[4];
};

// Two 16-bit halves, copied without interpretation.
struct DATEREC {
    std::uint16_t usHalf[2];
};

// One typed value. Owns a real's double and a string's ZoString (released by Cleanup()); does not
// own a list header or a reference target, except where NET_DisposeVDXData releases them.
struct ZORNET_API sL_VALUE {
    union Data {
        std::int32_t lValue;  // boolean, integer, handle
        TIMEREC time;
        DATEREC date;
        double* pdValue;       // real
        ZoString* pString;     // string
        sLIST_HEADER* pList;   // list
        sL_VALUE* pReference;  // reference link
        void* pVoid;
    } data;
    std::uint16_t usType;
    unsigned char kind : 4;
    unsigned char fSpare10 : 1;    // the application's; the library only clears it
    unsigned char fSpare20 : 1;    // the application's; the library only clears it
    unsigned char fReference : 1;  // data.pReference stands for this value
    unsigned char fValid : 1;      // data holds a value

    // Inline, so that making and releasing the many values of a list costs no calls.
    sL_VALUE() : data{}, usType(0), kind(0), fSpare10(0), fSpare20(0), fReference(0), fValid(0) {}
    ~sL_VALUE() {
        if (fValid && !fReference) {
            Cleanup();
        }
    }
    sL_VALUE(const sL_VALUE& other);
    sL_VALUE& operator=(const sL_VALUE& source);
    // Deep copy of a real or string; lists and reference targets are shared, not copied.

    void Cleanup();
    // Releases what the value owns (a real's double, a string's ZoString) and nothing else.
};

struct sLIST_NODE;

// A list with a cursor. lCurrent is 1-based, 0 for none.
struct sLIST_HEADER {
    std::uint32_t ulFlags;  // the application's; a header made by the library has it clear
    std::int32_t lCount;
    std::int32_t lCurrent;
    sLIST_NODE* pFirst;
    sLIST_NODE* pCurrent;
    sLIST_NODE* pLast;
};

// A list element: the value first, so a node is used as an sL_VALUE.
struct ZORNET_API sLIST_NODE : sL_VALUE {
    sLIST_NODE* pPrev;
    sLIST_NODE* pNext;

    // Any thread. Nodes come from a cache the library keeps, which takes them back on delete, on
    // whichever thread: new and delete them as usual, the library's and the application's alike.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void* node, std::size_t size) noexcept;
    static void operator delete(void*, void*) noexcept {}
};

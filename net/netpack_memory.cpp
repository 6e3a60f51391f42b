// SPDX-License-Identifier: Apache-2.0
#include "netpack_memory.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "net_xdr_budget.h"
#include "net_xdr_io.h"
#include "net_xdr_wire.h"
#include "zo/zostring.h"

namespace {

// Bodies whose size is bounded (every intrinsic but the string), with the most bytes each takes:
// the presence byte and the value. Handles are left out: packing one prints its lines.
bool IsFixedBody(unsigned short type) {
    return type >= NET_TYPE_UNKNOWN && type <= NET_TYPE_DATE && type != NET_TYPE_STRING;
}

std::size_t MostBytes(unsigned short type) {
    switch (type) {
        case NET_TYPE_UNKNOWN:
            return 1;
        case NET_TYPE_BOOLEAN:
            return 2;
        case NET_TYPE_REAL:
            return 9;
        case NET_TYPE_TIME:
            return 4;
        default:
            return 5;  // integer, date, handle
    }
}

// A list's elements are written a room of this size at a time.
constexpr std::size_t kRunBytes = 4096;

// One intrinsic body other than a string, whose MostBytes(type) are at p: as the packer's
// Unpack of that type reads and stores it. p moves past what was read.
int UnpackFixed(const unsigned char*& p, sL_VALUE& value, unsigned short type) {
    NetCleanup(value);
    value.fValid = 0;
    const bool present = *p++ != 0;
    if (type == NET_TYPE_UNKNOWN || !present) {
        return present ? kMalformed : 0;
    }
    sL_VALUE::Data data{};
    unsigned char kind = NET_KIND_HANDLE;
    switch (type) {
        case NET_TYPE_BOOLEAN:
            data.lValue = *p++;  // as received, not reduced to 0 or 1
            kind = NET_KIND_BOOLEAN;
            break;
        case NET_TYPE_REAL:
            data.pdValue = NewCharged<double>(GetDouble(p));
            if (data.pdValue == nullptr) {
                return kReadFailed;
            }
            p += 8;
            kind = NET_KIND_REAL;
            break;
        case NET_TYPE_TIME:
            data.time = TIMEREC{{p[0], p[1], p[2], 0}};  // component 3 never travels
            p += 3;
            kind = NET_KIND_TIME;
            break;
        case NET_TYPE_DATE:
            data.date = DATEREC{{GetU16(p), GetU16(p + 2)}};
            p += 4;
            kind = NET_KIND_DATE;
            break;
        default:
            data.lValue = static_cast<std::int32_t>(GetU32(p));
            p += 4;
            kind = type == NET_TYPE_INTEGER ? NET_KIND_INTEGER : NET_KIND_HANDLE;
            break;
    }
    NetStoreBody(value, type, kind, data);
    return 0;
}

// One body other than a string or a handle, as the packer's Pack of that type writes it, into
// MostBytes(type) bytes at p; the bytes written.
std::size_t PackFixed(unsigned char* p, const sL_VALUE& value, unsigned short type) {
    p[0] = 1;
    switch (type) {
        case NET_TYPE_BOOLEAN:
            p[1] = value.data.lValue != 0 ? 1 : 0;
            return 2;
        case NET_TYPE_INTEGER:
            PutU32(p + 1, static_cast<std::uint32_t>(value.data.lValue));
            return 5;
        case NET_TYPE_REAL:
            if (value.kind != NET_KIND_REAL || value.data.pdValue == nullptr) {
                break;  // a real without its object goes out as "no value"
            }
            PutDouble(p + 1, *value.data.pdValue);
            return 9;
        case NET_TYPE_TIME:
            std::memcpy(p + 1, value.data.time.ucComponent, 3);
            return 4;
        case NET_TYPE_DATE:
            PutU16(p + 1, value.data.date.usHalf[0]);
            PutU16(p + 3, value.data.date.usHalf[1]);
            return 5;
        default:
            break;
    }
    p[0] = 0;
    return 1;
}

// A received Unicode text as a string of its own: k units at bytes in the order marker tells.
ZoString* NewUnicode(const unsigned char* bytes, std::uint32_t n, std::uint16_t marker) {
    ZoString received;
    std::uint16_t units[1025];
    if (n != 0 && !NetImportUnicode(bytes, n / 2, marker, units, received)) {
        return nullptr;
    }
    return NetNewString(received.mbcs(), received.mbcsBytes());
}

constexpr std::uint32_t kUnicodeInMemory = 1024;  // units of a text decoded from memory, at most

}  // namespace

ZoString* NetNewString(const char* text, std::size_t bytes) {
    const std::size_t heap = ZoString::HeapBytes(bytes);
    const std::size_t size = NetAllocCost(sizeof(ZoString)) + (heap != 0 ? NetAllocCost(heap) : 0);
    return NetDecodeCharge(size) ? new (std::nothrow) ZoString(text, bytes) : nullptr;
}

NetValueReader::~NetValueReader() {
    Leave();
}

bool NetValueReader::Have(std::size_t n) {
    if (static_cast<std::size_t>(m_pEnd - m_pNext) >= n) {
        return true;
    }
    if (!m_bInMemory) {
        return false;
    }
    Leave();
    const NetReceived received = NetReceivedBytes(m_nSocket);
    if (received.nLength == 0) {
        return false;
    }
    m_pStart = m_pNext = received.pBytes;
    m_pEnd = received.pBytes + received.nLength;
    return received.nLength >= n;
}

void NetValueReader::Leave() {
    if (m_pNext != m_pStart) {
        NetReceivedUsed(m_nSocket, static_cast<std::size_t>(m_pNext - m_pStart));
    }
    m_pStart = m_pNext = m_pEnd = nullptr;
}

int NetValueReader::ByPacker(sL_VALUE& value, unsigned short type) {
    Leave();
    return m_Packer.Unpack(value, type, nullptr);
}

int NetValueReader::Type(unsigned short& type) {
    if (!Have(1)) {
        Leave();
        return m_Packer.UnpackType(type);
    }
    return NetTypeFromByte(m_Packer, *m_pNext++, type);
}

bool NetValueReader::Depth(std::int16_t& depth) {
    if (!Have(2)) {
        Leave();
        return m_Xdr.Short(m_nSocket, XDR_DECODE, depth) != 0;
    }
    depth = static_cast<std::int16_t>(GetU16(m_pNext));
    m_pNext += 2;
    return true;
}

int NetValueReader::Unpack(sL_VALUE& value, unsigned short type) {
    if (IsListCode(type)) {
        return UnpackList(value, static_cast<unsigned short>(type + NET_TYPE_UNKNOWN));
    }
    if (type == NET_TYPE_STRING) {
        return UnpackText(value);
    }
    return Have(MostBytes(type)) ? UnpackFixed(m_pNext, value, type) : ByPacker(value, type);
}

int NetValueReader::UnpackText(sL_VALUE& value) {
    const std::size_t head = m_bUnicode ? 7 : 5;  // presence, count, and the Unicode marker
    if (Have(1) && *m_pNext == 0) {
        NetCleanup(value);
        value.fValid = 0;
        ++m_pNext;
        return 0;
    }
    if (!Have(head)) {
        return ByPacker(value, NET_TYPE_STRING);
    }
    const std::uint32_t n = GetU32(m_pNext + 1);
    // A text not all in memory, a long Unicode one, or one without its terminator: the packer.
    if (!Have(head + n) || (m_bUnicode && n / 2 > kUnicodeInMemory)) {
        return ByPacker(value, NET_TYPE_STRING);
    }
    const unsigned char* text = m_pNext + head;  // after Have, which may move the bytes
    const auto* chars = reinterpret_cast<const char*>(text);
    const auto* end =
        !m_bUnicode && n != 0 ? static_cast<const char*>(std::memchr(chars, 0, n)) : nullptr;
    if (!m_bUnicode && n != 0 && end == nullptr) {
        return ByPacker(value, NET_TYPE_STRING);
    }
    NetCleanup(value);
    value.fValid = 0;
    ZoString* string = m_bUnicode ? NewUnicode(text, n, GetU16(m_pNext + 5))
                                  : NetNewString(end != nullptr ? chars : nullptr,
                                                 end != nullptr ? end - chars : 0);
    if (string == nullptr) {
        return kReadFailed;
    }
    m_pNext = text + n;
    sL_VALUE::Data data{};
    data.pString = string;
    NetStoreBody(value, NET_TYPE_STRING, NET_KIND_STRING, data);
    return 0;
}

int NetValueReader::UnpackList(sL_VALUE& value, unsigned short type) {
    sL_VALUE count;
    sL_VALUE cursor;
    for (sL_VALUE* word : {&count, &cursor}) {
        const int result = Unpack(*word, NET_TYPE_INTEGER);
        if (result < 0) {
            return result;
        }
    }
    sLIST_HEADER* list = NetStartList(value, type);
    if (list == nullptr) {
        return kReadFailed;
    }
    return UnpackRun(*list, count.fValid ? count.data.lValue : 0,
                     cursor.fValid ? cursor.data.lValue : 0, type);
}

int NetValueReader::UnpackRun(sLIST_HEADER& list, std::int32_t count, std::int32_t position,
                              unsigned short type) {
    const std::size_t most = IsFixedBody(type) ? MostBytes(type) : 0;
    for (std::int32_t i = 1; i <= count;) {
        // The elements whose bytes are surely in memory are made, charged and read as one run.
        std::int32_t run = 0;
        if (most != 0 && Have(most)) {
            const std::size_t fit = static_cast<std::size_t>(m_pEnd - m_pNext) / most;
            run = static_cast<std::int32_t>(
                std::min<std::size_t>(fit, static_cast<std::size_t>(count - i) + 1));
        }
        if (run > 1 && NetDecodeCharge(NetAllocCost(sizeof(sLIST_NODE), run))) {
            for (const std::int32_t end = i + run; i < end; ++i) {
                auto* node = new (std::nothrow) sLIST_NODE{};
                if (node == nullptr) {
                    return kReadFailed;
                }
                NetAppendNode(list, node, i, position, type);
                const int result = UnpackFixed(m_pNext, *node, type);
                if (result < 0) {
                    return result;
                }
            }
            continue;
        }
        auto* node = NewCharged<sLIST_NODE>();
        if (node == nullptr) {
            return kReadFailed;
        }
        NetAppendNode(list, node, i, position, type);
        const int result = Unpack(*node, type);
        if (result < 0) {
            return result;
        }
        ++i;
    }
    return 0;
}

unsigned char* NetValueWriter::Room(std::size_t n) {
    return m_bInMemory ? NetGatherRoom(m_nSocket, n) : nullptr;
}

int NetValueWriter::Type(unsigned short type) {
    unsigned char* p = Room(1);
    if (p == nullptr) {
        return m_Packer.PackType(type);
    }
    *p = NetTypeByte(type);
    NetGatherUsed(1);
    return 0;
}

bool NetValueWriter::Depth(std::int16_t depth) {
    unsigned char* p = Room(2);
    if (p == nullptr) {
        return m_Xdr.Short(m_nSocket, XDR_ENCODE, depth) != 0;
    }
    PutU16(p, static_cast<std::uint16_t>(depth));
    NetGatherUsed(2);
    return true;
}

int NetValueWriter::Pack(const sL_VALUE& value, unsigned short type) {
    if (IsListCode(type)) {
        return PackList(value.data.pList, NetElementType(value.data.pList));
    }
    if (type == NET_TYPE_STRING) {
        return PackText(value);
    }
    unsigned char* p = IsFixedBody(type) ? Room(MostBytes(type)) : nullptr;
    if (p == nullptr) {
        return m_Packer.Pack(value, type, nullptr);
    }
    NetGatherUsed(PackFixed(p, value, type));
    return 0;
}

int NetValueWriter::PackText(const sL_VALUE& value) {
    const ZoString* string = value.kind == NET_KIND_STRING ? value.data.pString : nullptr;
    const bool present = string != nullptr && !string->IsEmpty();
    const char* text = present && !m_bUnicode ? string->mbcs() : nullptr;
    const std::size_t n = text != nullptr ? string->mbcsBytes() + 1 : 0;
    unsigned char* p = present ? Room(1 + (m_bUnicode ? 0 : 4 + n)) : Room(1);
    if (p == nullptr) {
        return m_Packer.Pack(value, NET_TYPE_STRING, nullptr);
    }
    p[0] = present ? 1 : 0;
    if (text != nullptr) {
        PutU32(p + 1, static_cast<std::uint32_t>(n));
        std::memcpy(p + 5, text, n);
    }
    NetGatherUsed(text != nullptr ? 5 + n : 1);
    if (!present || !m_bUnicode) {
        return 0;
    }
    // Exactly NetXDRImp's, which only reads the string.
    auto& xdr = static_cast<NetXDRImp&>(m_Xdr);
    return xdr.NetXDRImp::Unicode(m_nSocket, XDR_ENCODE, const_cast<ZoString&>(*string))
               ? 0
               : kWriteFailed;
}

int NetValueWriter::PackList(const sLIST_HEADER* list, unsigned short type) {
    // The chain, not lCount, decides which elements go out; keeping them equal is the owner's duty.
    sL_VALUE word;
    word.kind = NET_KIND_INTEGER;
    for (const std::int32_t n :
         {list != nullptr ? list->lCount : 0, list != nullptr ? list->lCurrent : 0}) {
        word.data.lValue = n;
        const int result = Pack(word, NET_TYPE_INTEGER);
        if (result < 0) {
            return result;
        }
    }
    const sLIST_NODE* node = list != nullptr ? list->pFirst : nullptr;
    const std::size_t most = IsFixedBody(type) ? MostBytes(type) : 0;
    // Runs of bounded bodies into one room each; the room asked for follows lCount, a hint only.
    while (node != nullptr && most != 0) {
        const auto hint = static_cast<std::size_t>(std::max<std::int32_t>(list->lCount, 1));
        const std::size_t size = std::min(kRunBytes, hint * most);
        unsigned char* p = Room(size);
        if (p == nullptr) {
            break;
        }
        std::size_t used = 0;
        for (; node != nullptr && used + most <= size; node = node->pNext) {
            used += PackFixed(p + used, *node, type);
        }
        NetGatherUsed(used);
    }
    for (; node != nullptr; node = node->pNext) {
        const int result = Pack(*node, type);
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

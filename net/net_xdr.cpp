// SPDX-License-Identifier: Apache-2.0
#include "net/net_xdr.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "net/netpack.h"
#include "net_xdr_budget.h"
#include "net_xdr_io.h"
#include "net_xdr_value.h"
#include "net_xdr_wire.h"
#include "zo/zostring.h"

namespace {

// The bytes of one message, gathered on the encoding thread while its codecs run (see
// NetSendGather), so that a message made of many small values leaves in one send instead of one
// TCP segment per primitive.
struct WriteGather {
    int nDepth = 0;  // gathers open on this thread; gathering while above 0
    int nSocket = -1;
    bool bFailed = false;  // a send failed: every later write of the message fails too
    std::unique_ptr<unsigned char[]> pBytes;
    std::size_t nSize = 0;
    std::size_t nCapacity = 0;
};
thread_local WriteGather t_gather;

// What is gathered goes out once it reaches this size, so a huge message needs no huge buffer.
constexpr std::size_t kGatherFlush = 64 * 1024;
// A thread keeps a gather buffer up to this size between messages, so small ones allocate
// nothing; a larger one is given back.
constexpr std::size_t kGatherKeep = 4 * 1024;

bool SendAll(int socket, const unsigned char* p, std::size_t length) {
    while (length > 0) {
        // MSG_NOSIGNAL: a peer that went away is a failed write, not a process-ending SIGPIPE.
        const ssize_t sent = send(socket, p, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        p += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool FlushGather() {
    WriteGather& g = t_gather;
    if (!g.bFailed && g.nSize != 0 && !SendAll(g.nSocket, g.pBytes.get(), g.nSize)) {
        g.bFailed = true;
    }
    g.nSize = 0;
    return !g.bFailed;
}

// Room for n more bytes at the end of the gather (n at most kGatherFlush), sending what is
// gathered first when it would pass kGatherFlush; null when a send failed or no buffer was had.
unsigned char* GatherRoom(std::size_t n) {
    WriteGather& g = t_gather;
    if (g.nSize + n > kGatherFlush && !FlushGather()) {
        return nullptr;
    }
    if (g.nSize + n > g.nCapacity) {
        const std::size_t capacity = std::min(std::max(2 * g.nCapacity, g.nSize + n), kGatherFlush);
        std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[capacity]);
        if (!bytes) {
            return nullptr;
        }
        if (g.nSize != 0) {
            std::memcpy(bytes.get(), g.pBytes.get(), g.nSize);
        }
        g.pBytes = std::move(bytes);
        g.nCapacity = capacity;
    }
    return g.bFailed ? nullptr : g.pBytes.get() + g.nSize;
}

// Runs encode() inside a gather: a record encoded inside another message joins it.
template <typename Encode>
unsigned char Gathered(int socket, Encode encode) {
    NetSendGather gather(socket);
    const unsigned char encoded = encode();
    return gather.Send() && encoded ? 1 : 0;
}

bool RecvAll(int socket, unsigned char* p, std::size_t length) {
    while (length > 0) {
        const ssize_t got = recv(socket, p, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        p += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

// The receiving side of a record on a socket that has no NetRecvBuffer (a client's): the bytes
// already in the socket are looked at with MSG_PEEK and served to the codecs from memory; only
// the bytes they used are then taken from the socket. The socket is left exactly where reads of
// one primitive at a time would have left it, so nothing is kept between records, and a record
// costs two system calls instead of one per primitive.
struct ReadAhead {
    int nDepth = 0;  // records being decoded on this thread; peeking while above 0
    int nSocket = -1;
    std::unique_ptr<unsigned char[]> pBytes;  // kPeek bytes, kept by the thread once it peeked
    std::size_t nSize = 0;                    // peeked and still in the socket
    std::size_t nUsed = 0;                    // served to codecs from the front
};
thread_local ReadAhead t_ahead;

constexpr std::size_t kPeek = 16 * 1024;

// Takes the used bytes out of the socket (they are there: they were peeked) and forgets the rest.
bool ConsumeUsed() {
    ReadAhead& r = t_ahead;
    const bool ok = r.nUsed == 0 || RecvAll(r.nSocket, r.pBytes.get(), r.nUsed);
    r.nSize = 0;
    r.nUsed = 0;
    return ok;
}

bool Peek(int socket) {
    ReadAhead& r = t_ahead;
    if (!r.pBytes) {
        r.pBytes.reset(new (std::nothrow) unsigned char[kPeek]);
        if (!r.pBytes) {
            return false;
        }
    }
    for (;;) {
        const ssize_t got = recv(socket, r.pBytes.get(), kPeek, MSG_PEEK);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        r.nSize = got > 0 ? static_cast<std::size_t>(got) : 0;
        return got > 0;
    }
}

// Serves length bytes from what was peeked, peeking again when it ran out; false when the read
// must go to the socket itself (more than has arrived, or more than one peek holds).
bool ReadAheadFrom(int socket, unsigned char* p, std::size_t length) {
    ReadAhead& r = t_ahead;
    if (r.nSize - r.nUsed < length && length < kPeek) {
        if (!ConsumeUsed() || !Peek(socket)) {
            return false;
        }
    }
    if (r.nSize - r.nUsed < length) {
        return false;
    }
    std::memcpy(p, r.pBytes.get() + r.nUsed, length);
    r.nUsed += length;
    return true;
}

// Runs decode() with this thread's reads from socket served through a read-ahead.
template <typename Decode>
unsigned char ReadAheadDuring(int socket, Decode decode) {
    NetReadAhead ahead(socket);
    const unsigned char decoded = decode();
    return ahead.Finish() && decoded ? 1 : 0;
}

// Received byte counts are not trusted: buffers grow by this much as the bytes arrive, so a peer
// that announces more than it sends costs at most one chunk.
constexpr std::size_t kReadChunk = 64 * 1024;

// Value arrays of an argument block grow geometrically from this size up to the announced count.
constexpr std::int32_t kFirstValueArray = 8;

// A String count below this goes out with its count in one send from a stack buffer.
constexpr std::uint32_t kStringInline = 1020;
// Unicode texts of up to this many units are built or received in a stack buffer.
constexpr unsigned int kUnicodeSendInline = 1019;
constexpr std::uint32_t kUnicodeReceiveInline = 1024;

// The shape of the fixed-width codecs: encode packs the value into its N bytes and writes them
// at once; decode changes the value only when all N bytes have arrived; free has nothing to do.
template <std::size_t N, typename Pack, typename Unpack>
unsigned char FixedWidth(NetXDRImp& xdr, int socket, XDR_Op op, Pack pack, Unpack unpack) {
    unsigned char b[N];
    if (op == XDR_ENCODE) {
        pack(b);
        return xdr.Write(socket, b, N);
    }
    if (op == XDR_DECODE) {
        if (!xdr.Read(socket, b, N)) {
            return 0;
        }
        unpack(b);
    }
    return 1;
}

// Reads n bytes into a malloc buffer with extra spare bytes behind them, growing the buffer only
// as the bytes arrive. Null on a failed read, a refused charge or a failed allocation.
unsigned char* ReadGrowing(NetXDR& xdr, int socket, std::uint32_t n, std::size_t extra) {
    if (n > std::numeric_limits<std::size_t>::max() - extra - kReadChunk) {
        return nullptr;
    }
    unsigned char* buffer = nullptr;
    std::size_t have = 0;
    do {
        const std::size_t step = std::min<std::size_t>(n - have, kReadChunk);
        // One block that grows: its header is charged with the first step.
        const std::size_t charge = have == 0 ? NetAllocCost(step + extra) : step;
        void* grown = NetDecodeCharge(charge) ? std::realloc(buffer, have + step + extra) : nullptr;
        if (grown == nullptr) {
            std::free(buffer);
            return nullptr;
        }
        buffer = static_cast<unsigned char*>(grown);
        if (!xdr.Read(socket, buffer + have, static_cast<std::int32_t>(step))) {
            std::free(buffer);
            return nullptr;
        }
        have += step;
    } while (have < n);
    return buffer;
}

unsigned char EncodeUserCall(NetXDRImp& xdr, int socket, MSGUSERCALL& record,
                             unsigned char unicode) {
    const MSGUSERDATA* block = record.pData;
    unsigned char fixed[28];
    PutU32(fixed, record.ulStatus);
    PutU32(fixed + 4, record.ulFlags);
    PutU32(fixed + 8, static_cast<std::uint32_t>(record.lHandle));
    PutU32(fixed + 12, block ? static_cast<std::uint32_t>(block->lCount) : 0);
    PutU32(fixed + 16, block ? block->usType : 0);
    PutU32(fixed + 20, 0);
    PutU32(fixed + 24, block ? 1 : 0);  // the block marker; receivers only test it against zero
    if (!xdr.Write(socket, fixed, sizeof fixed)) {
        return 0;
    }
    if (block == nullptr || block->lCount <= 0) {
        return 1;
    }
    if (block->pValues == nullptr) {
        return 0;
    }
    for (std::int32_t i = 0; i < block->lCount; ++i) {
        if (!xdr.Value(socket, XDR_ENCODE, &block->pValues[i], unicode)) {
            return 0;
        }
    }
    return 1;
}

// Replaces the block's array by one of the next size towards want. The block's lCount always
// equals its array's size, so a block left behind by a failed decode stays releasable.
bool GrowValues(MSGUSERDATA& block, std::int32_t want) {
    const std::int32_t have = block.lCount;
    const std::int64_t doubled = std::max<std::int64_t>(kFirstValueArray, std::int64_t{have} * 2);
    const auto size = static_cast<std::int32_t>(std::min<std::int64_t>(want, doubled));
    if (static_cast<std::size_t>(size) >
            std::numeric_limits<std::size_t>::max() / sizeof(sL_VALUE) ||
        // new[] keeps the element count in front of the array.
        !NetDecodeCharge(NetAllocCost(sizeof(sL_VALUE) * static_cast<std::size_t>(size) +
                                      sizeof(std::size_t)))) {
        return false;
    }
    auto* values = new (std::nothrow) sL_VALUE[static_cast<std::size_t>(size)];
    if (values == nullptr) {
        return false;
    }
    for (std::int32_t i = 0; i < have; ++i) {
        NetTakeValue(values[i], block.pValues[i]);
    }
    delete[] block.pValues;
    block.pValues = values;
    block.lCount = size;
    return true;
}

unsigned char DecodeValues(NetXDRImp& xdr, int socket, MSGUSERDATA& block, std::int32_t count,
                           unsigned char unicode) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (i == block.lCount && !GrowValues(block, count)) {
            return 0;
        }
        if (!xdr.Value(socket, XDR_DECODE, &block.pValues[i], unicode)) {
            return 0;
        }
    }
    block.lCount = count;
    return 1;
}

unsigned char DecodeUserCall(NetXDRImp& xdr, int socket, MSGUSERCALL& record,
                             unsigned char unicode) {
    unsigned char fixed[28];
    if (!xdr.Read(socket, fixed, sizeof fixed)) {
        return 0;
    }
    record.ulStatus = GetU32(fixed);
    record.ulFlags = GetU32(fixed + 4);
    record.lHandle = static_cast<std::int32_t>(GetU32(fixed + 8));
    record.lCount = static_cast<std::int32_t>(GetU32(fixed + 12));
    record.ulType = GetU32(fixed + 16);
    if (GetU32(fixed + 24) == 0) {
        record.pData = nullptr;
        return 1;
    }
    if (!NetDecodeCharge(NetAllocCost(sizeof(MSGUSERDATA)))) {
        return 0;
    }
    auto* block = new (std::nothrow) MSGUSERDATA{};
    if (block == nullptr) {
        return 0;
    }
    block->lHandle = record.lHandle;
    block->usType = static_cast<std::uint16_t>(record.ulType);
    block->fFlag80 = 1;
    block->fFlag40 = 1;
    record.pData = block;
    return DecodeValues(xdr, socket, *block, record.lCount, unicode);
}

unsigned char FreeUserCall(NetXDRImp& xdr, MSGUSERCALL& record, unsigned char unicode) {
    MSGUSERDATA* block = record.pData;
    if (block == nullptr) {
        return 1;
    }
    if (block->pValues != nullptr) {
        for (std::int32_t i = 0; i < block->lCount; ++i) {
            xdr.Value(-1, XDR_FREE, &block->pValues[i], unicode);
        }
    }
    delete[] block->pValues;
    delete block;
    record.pData = nullptr;
    return 1;
}

}  // namespace

NetSendGather::NetSendGather(int socket) : m_bOuter(t_gather.nDepth == 0) {
    WriteGather& g = t_gather;
    if (m_bOuter) {
        g.nSocket = socket;
        g.bFailed = false;
    }
    ++g.nDepth;
}

NetSendGather::~NetSendGather() {
    WriteGather& g = t_gather;
    if (m_bOuter) {
        g.nSize = 0;
        g.nSocket = -1;
        if (g.nCapacity > kGatherKeep) {
            g.pBytes.reset();
            g.nCapacity = 0;
        }
    }
    --g.nDepth;
}

bool NetSendGather::Send() {
    return m_bOuter ? FlushGather() : !t_gather.bFailed;
}

unsigned char* NetGatherRoom(int socket, std::size_t n) {
    const WriteGather& g = t_gather;
    if (g.nDepth == 0 || g.nSocket != socket || n > kGatherFlush) {
        return nullptr;
    }
    return GatherRoom(n);
}

void NetGatherUsed(std::size_t n) {
    t_gather.nSize += n;
}

namespace {
thread_local NetRecvBuffer* t_pReceiving = nullptr;
}  // namespace

NetRecvBuffer::NetRecvBuffer(int socket) : m_nSocket(socket), m_pOuter(t_pReceiving) {
    t_pReceiving = this;
}

NetRecvBuffer::~NetRecvBuffer() {
    t_pReceiving = m_pOuter;
}

NetRecvBuffer* NetRecvBuffer::Bound(int socket) {
    NetRecvBuffer* buffer = t_pReceiving;
    return buffer != nullptr && buffer->m_nSocket == socket ? buffer : nullptr;
}

bool NetRecvBuffer::Read(unsigned char* p, std::size_t length) {
    const std::size_t head = std::min(length, Buffered());
    if (head != 0) {
        std::memcpy(p, Data(), head);
        m_nBegin += head;
        p += head;
        length -= head;
    }
    if (length == 0) {
        return true;
    }
    m_nBegin = m_nEnd = 0;
    if (!m_pBytes) {
        // The first bytes of the connection go straight where they are wanted; from then on
        // the connection is in use and gets its buffer.
        const bool ok = RecvAll(m_nSocket, p, length);
        m_pBytes.reset(new (std::nothrow) unsigned char[kCapacity]);
        return ok;
    }
    if (length >= kCapacity) {
        return RecvAll(m_nSocket, p, length);  // no use copying through the buffer
    }
    while (length > 0) {
        const ssize_t got = recv(m_nSocket, m_pBytes.get(), kCapacity, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        const std::size_t take = std::min(length, static_cast<std::size_t>(got));
        std::memcpy(p, m_pBytes.get(), take);
        p += take;
        length -= take;
        m_nBegin = take;
        m_nEnd = static_cast<std::size_t>(got);
    }
    return true;
}

NetReadAhead::NetReadAhead(int socket)
    : m_bActive(t_ahead.nDepth == 0 && NetRecvBuffer::Bound(socket) == nullptr) {
    if (m_bActive) {
        t_ahead.nDepth = 1;
        t_ahead.nSocket = socket;
    }
}

NetReadAhead::~NetReadAhead() {
    Finish();
}

bool NetReadAhead::Finish() {
    if (!m_bActive) {
        return true;
    }
    m_bActive = false;
    const bool consumed = ConsumeUsed();
    t_ahead.nDepth = 0;
    t_ahead.nSocket = -1;
    return consumed;
}

NetReceived NetReceivedBytes(int socket) {
    if (const NetRecvBuffer* buffer = NetRecvBuffer::Bound(socket)) {
        return {buffer->Data(), buffer->Buffered()};
    }
    const ReadAhead& r = t_ahead;
    if (r.nDepth > 0 && r.nSocket == socket && r.nSize != 0) {
        return {r.pBytes.get() + r.nUsed, r.nSize - r.nUsed};
    }
    return {nullptr, 0};
}

void NetReceivedUsed(int socket, std::size_t n) {
    if (NetRecvBuffer* buffer = NetRecvBuffer::Bound(socket)) {
        buffer->Skip(n);
    } else {
        t_ahead.nUsed += n;
    }
}

unsigned char NetXDRImp::Read(int socket, void* buffer, std::int32_t length) {
    auto* p = static_cast<unsigned char*>(buffer);
    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (NetRecvBuffer* received = NetRecvBuffer::Bound(socket)) {
        return n == 0 || received->Read(p, n) ? 1 : 0;
    }
    if (t_ahead.nDepth > 0 && t_ahead.nSocket == socket && n > 0) {
        if (ReadAheadFrom(socket, p, n)) {
            return 1;
        }
        // Straight from the socket, behind the bytes the codecs already had.
        if (!ConsumeUsed()) {
            return 0;
        }
    }
    return RecvAll(socket, p, n) ? 1 : 0;
}

unsigned char NetXDRImp::Write(int socket, const void* buffer, std::int32_t length) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    WriteGather& g = t_gather;
    if (g.nDepth == 0 || g.nSocket != socket) {
        return SendAll(socket, p, n) ? 1 : 0;
    }
    if (g.bFailed) {
        return 0;
    }
    unsigned char* room = n <= kGatherFlush ? GatherRoom(n) : nullptr;
    if (room != nullptr) {
        std::memcpy(room, p, n);
        g.nSize += n;
        return 1;
    }
    // Too large to gather, or no buffer to be had: what came before goes first, in order.
    g.bFailed = !(FlushGather() && SendAll(socket, p, n));
    return g.bFailed ? 0 : 1;
}

unsigned char NetXDRImp::Byte(int socket, XDR_Op op, unsigned char& value) {
    return FixedWidth<1>(
        *this, socket, op, [&](unsigned char* b) { b[0] = value; },
        [&](const unsigned char* b) { value = b[0]; });
}

unsigned char NetXDRImp::Short(int socket, XDR_Op op, std::int16_t& value) {
    auto u = static_cast<std::uint16_t>(value);
    if (!UShort(socket, op, u)) {
        return 0;
    }
    value = static_cast<std::int16_t>(u);
    return 1;
}

unsigned char NetXDRImp::UShort(int socket, XDR_Op op, std::uint16_t& value) {
    return FixedWidth<2>(
        *this, socket, op, [&](unsigned char* b) { PutU16(b, value); },
        [&](const unsigned char* b) { value = GetU16(b); });
}

unsigned char NetXDRImp::Long(int socket, XDR_Op op, std::int32_t& value) {
    auto u = static_cast<std::uint32_t>(value);
    if (!ULong(socket, op, u)) {
        return 0;
    }
    value = static_cast<std::int32_t>(u);
    return 1;
}

unsigned char NetXDRImp::ULong(int socket, XDR_Op op, std::uint32_t& value) {
    return FixedWidth<4>(
        *this, socket, op, [&](unsigned char* b) { PutU32(b, value); },
        [&](const unsigned char* b) { value = GetU32(b); });
}

unsigned char NetXDRImp::Double(int socket, XDR_Op op, double& value) {
    return FixedWidth<8>(
        *this, socket, op, [&](unsigned char* b) { PutDouble(b, value); },
        [&](const unsigned char* b) { value = GetDouble(b); });
}

unsigned char NetXDRImp::Time(int socket, XDR_Op op, TIMEREC& value) {
    if (op == XDR_ENCODE) {
        return Write(socket, value.ucComponent, 3);
    }
    if (op == XDR_DECODE) {
        // Component 3 never travels; each component is stored as soon as it arrives.
        std::memset(value.ucComponent, 0, sizeof value.ucComponent);
        for (int i = 0; i < 3; ++i) {
            if (!Read(socket, &value.ucComponent[i], 1)) {
                return 0;
            }
        }
    }
    return 1;
}

unsigned char NetXDRImp::Date(int socket, XDR_Op op, DATEREC& value) {
    return FixedWidth<4>(
        *this, socket, op,
        [&](unsigned char* b) {
            PutU16(b, value.usHalf[0]);
            PutU16(b + 2, value.usHalf[1]);
        },
        [&](const unsigned char* b) {
            value.usHalf[0] = GetU16(b);
            value.usHalf[1] = GetU16(b + 2);
        });
}

unsigned char NetXDRImp::String(int socket, XDR_Op op, char*& text) {
    if (op == XDR_FREE) {
        std::free(text);
        text = nullptr;
        return 1;
    }
    if (op == XDR_ENCODE) {
        unsigned char b[1024];
        if (text == nullptr) {
            PutU32(b, 0);
            return Write(socket, b, 4);
        }
        const std::size_t n = std::strlen(text) + 1;
        if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            return 0;
        }
        PutU32(b, static_cast<std::uint32_t>(n));
        if (n < kStringInline) {
            std::memcpy(b + 4, text, n);
            return Write(socket, b, static_cast<std::int32_t>(4 + n));
        }
        return Write(socket, b, 4) && Write(socket, text, static_cast<std::int32_t>(n));
    }
    if (op == XDR_DECODE) {
        std::uint32_t n;
        if (!ULong(socket, XDR_DECODE, n)) {
            return 0;
        }
        text = nullptr;
        if (n == 0) {
            return 1;
        }
        // One byte more than announced holds a NUL, so a sender that left out the terminator
        // still gives a terminated text.
        unsigned char* buffer = ReadGrowing(*this, socket, n, 1);
        if (buffer == nullptr) {
            return 0;
        }
        buffer[n] = 0;
        text = reinterpret_cast<char*>(buffer);
    }
    return 1;
}

namespace {

// A text as a count of bytes, the byte-order marker and its UTF-16 units, in one write.
unsigned char EncodeUnicode(NetXDRImp& xdr, int socket, ZoString& text) {
    const unsigned char empty[6] = {0, 0, 0, 0, 0xFF, 0x00};
    if (text.IsEmpty()) {
        return xdr.Write(socket, empty, sizeof empty);
    }
    const unsigned int k = text.length();
    if (k > (static_cast<unsigned int>(std::numeric_limits<std::int32_t>::max()) - 6) / 2) {
        return 0;
    }
    // Units 0..2 hold the count and the marker, the text follows; one unit of room remains
    // for the terminator that the export appends.
    std::uint16_t local[1024];
    std::unique_ptr<std::uint16_t[]> heap;
    std::uint16_t* units = local;
    if (k > kUnicodeSendInline) {
        heap.reset(new (std::nothrow) std::uint16_t[std::size_t{k} + 4]);
        if (!heap) {
            return 0;
        }
        units = heap.get();
    }
    text.UnicodeExport(units + 3, k);
    auto* bytes = reinterpret_cast<unsigned char*>(units);
    for (unsigned int i = 0; i < k; ++i) {
        PutU16(bytes + 6 + 2 * i, units[3 + i]);
    }
    PutU32(bytes, 2 * k);
    PutU16(bytes + 4, 0xFF00);
    return xdr.Write(socket, bytes, static_cast<std::int32_t>(6 + 2 * k));
}

// A received text, read in the order its marker shows; a count of 0 is a null text.
unsigned char DecodeUnicode(NetXDRImp& xdr, int socket, ZoString& text) {
    unsigned char head[6];
    if (!xdr.Read(socket, head, 4) || !xdr.Read(socket, head + 4, 2)) {
        return 0;
    }
    const std::uint32_t n = GetU32(head);
    if (n == 0) {
        text.set_null();
        return 1;
    }
    const std::uint32_t k = n / 2;
    std::uint16_t local[kUnicodeReceiveInline + 1];
    std::unique_ptr<unsigned char, decltype(&std::free)> heap(nullptr, &std::free);
    auto* bytes = reinterpret_cast<unsigned char*>(local);
    if (k > kUnicodeReceiveInline) {
        heap.reset(ReadGrowing(xdr, socket, n, 2));
        if (!heap) {
            return 0;
        }
        bytes = heap.get();
    } else if (!xdr.Read(socket, bytes, static_cast<std::int32_t>(n))) {
        return 0;
    }
    return NetImportUnicode(bytes, k, GetU16(head + 4), reinterpret_cast<std::uint16_t*>(bytes),
                            text)
               ? 1
               : 0;
}

}  // namespace

unsigned char NetXDRImp::Unicode(int socket, XDR_Op op, ZoString& text) {
    if (op == XDR_ENCODE) {
        return EncodeUnicode(*this, socket, text);
    }
    return op == XDR_DECODE ? DecodeUnicode(*this, socket, text) : 1;
}

bool NetImportUnicode(const unsigned char* bytes, std::uint32_t k, std::uint16_t marker,
                      std::uint16_t* units, ZoString& text) {
    // The imported text may take up to three bytes for each unit.
    if (!NetDecodeCharge(NetAllocCost(std::size_t{k} * 3 + 1))) {
        return false;
    }
    // The marker as read tells the sender's unit order: FF 00 is most significant byte first.
    const bool swapped = marker != 0xFF00;
    for (std::uint32_t i = 0; i < k; ++i) {
        const unsigned char* u = bytes + 2 * i;
        units[i] = swapped ? static_cast<std::uint16_t>((u[1] << 8) | u[0]) : GetU16(u);
    }
    units[k] = 0;
    text.UnicodeImport(units);
    return true;
}

unsigned char NetXDRImp::IntCall(int socket, XDR_Op op, MSGINTCALL& record) {
    return FixedWidth<16>(
        *this, socket, op,
        [&](unsigned char* b) {
            PutU32(b, static_cast<std::uint32_t>(record.lValue));
            PutU32(b + 4, record.ulStatus);
            PutU32(b + 8, record.ulFlags);
            PutU32(b + 12, static_cast<std::uint32_t>(record.lHandle));
        },
        [&](const unsigned char* b) {
            record.lValue = static_cast<std::int32_t>(GetU32(b));
            record.ulStatus = GetU32(b + 4);
            record.ulFlags = GetU32(b + 8);
            record.lHandle = static_cast<std::int32_t>(GetU32(b + 12));
        });
}

unsigned char NetXDRImp::RealCall(int socket, XDR_Op op, MSGREALCALL& record) {
    if (op == XDR_ENCODE) {
        unsigned char b[20];
        PutDouble(b, record.dValue);
        PutU32(b + 8, record.ulStatus);
        PutU32(b + 12, record.ulFlags);
        PutU32(b + 16, static_cast<std::uint32_t>(record.lHandle));
        return Write(socket, b, sizeof b);
    }
    if (op == XDR_DECODE) {
        return ReadAheadDuring(socket, [&] {
            return Double(socket, op, record.dValue) && ULong(socket, op, record.ulStatus) &&
                           ULong(socket, op, record.ulFlags) && Long(socket, op, record.lHandle)
                       ? 1
                       : 0;
        });
    }
    return 1;
}

unsigned char NetXDRImp::StringCall(int socket, XDR_Op op, MSGSTRINGCALL& record) {
    unsigned char b[16];
    if (op == XDR_ENCODE) {
        PutU32(b, 0);  // the place of pszValue; ignored on receipt
        PutU32(b + 4, record.ulStatus);
        PutU32(b + 8, record.ulFlags);
        PutU32(b + 12, static_cast<std::uint32_t>(record.lHandle));
        return Gathered(socket, [&] {
            return Write(socket, b, sizeof b) && String(socket, op, record.pszValue) ? 1 : 0;
        });
    }
    if (op == XDR_DECODE) {
        return ReadAheadDuring(socket, [&]() -> unsigned char {
            if (!Read(socket, b, sizeof b)) {
                return 0;
            }
            record.ulStatus = GetU32(b + 4);
            record.ulFlags = GetU32(b + 8);
            record.lHandle = static_cast<std::int32_t>(GetU32(b + 12));
            return String(socket, op, record.pszValue);
        });
    }
    if (op == XDR_FREE) {
        String(socket, op, record.pszValue);
    }
    return 1;
}

unsigned char NetXDRImp::UserCall(int socket, XDR_Op op, MSGUSERCALL& record,
                                  unsigned char unicode) {
    switch (op) {
        case XDR_ENCODE:
            return Gathered(socket, [&] { return EncodeUserCall(*this, socket, record, unicode); });
        case XDR_DECODE:
            return ReadAheadDuring(socket,
                                   [&] { return DecodeUserCall(*this, socket, record, unicode); });
        case XDR_FREE:
            return FreeUserCall(*this, record, unicode);
    }
    return 1;
}

unsigned char NetXDRImp::Value(int socket, XDR_Op op, sL_VALUE* value, unsigned char unicode) {
    int result;
    switch (op) {
        case XDR_DECODE:
            result = NET_ReceiveVDXData(this, value, socket, unicode);
            break;
        case XDR_ENCODE:
            result = NET_SendVDXData(this, value, socket, unicode);
            break;
        case XDR_FREE:
            result = NET_DisposeVDXData(value);
            break;
        default:
            return 0;
    }
    return result >= 0 ? 1 : 0;
}

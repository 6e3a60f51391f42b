// SPDX-License-Identifier: Apache-2.0
#include "net/netpack.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "net_xdr_budget.h"
#include "net_xdr_io.h"
#include "net_xdr_value.h"
#include "netpack_memory.h"
#include "zo/zostring.h"

namespace {

// The packer's type bytes: intrinsic codes keep bits 0xC0 clear, list codes carry 0x80.
constexpr unsigned char kTypeClassMask = 0xC0;
constexpr unsigned char kListTypeBit = 0x80;
constexpr unsigned char kListTypeInvalid = 0x20;
constexpr unsigned char kTypeCodeMask = 0x1F;

std::FILE* InitialPackerOutput() {
    const char* setting = std::getenv("ZOR_NET_PACK_HANDLE_LINES");
    if (setting != nullptr && std::strcmp(setting, "off") == 0) {
        return nullptr;
    }
    if (setting != nullptr && std::strcmp(setting, "stderr") == 0) {
        return stderr;
    }
    return stdout;
}

std::atomic<std::FILE*>& PackerOutput() {
    static std::atomic<std::FILE*> output{InitialPackerOutput()};
    return output;
}

// The packer's progress lines around every handle value it packs. Programs written against it
// read them, so their text stays exact; where they go is the application's choice.
void PackHandleLine(const char* line) {
    std::FILE* stream = PackerOutput().load(std::memory_order_relaxed);
    if (stream != nullptr) {
        std::fputs(line, stream);
    }
}

// The shape of every unpacked intrinsic after its presence byte (present: ReadPresence's
// result): without a body nothing more is read; a body is stored only once read whole.
template <typename ReadBody>
int UnpackBody(int present, sL_VALUE& value, std::uint16_t type, unsigned char kind,
               ReadBody readBody) {
    if (present <= 0) {
        return present;
    }
    sL_VALUE::Data data{};
    if (!readBody(data)) {
        return kReadFailed;
    }
    NetStoreBody(value, type, kind, data);
    return 0;
}

// A string body in its travelling form: 16-bit Unicode, or single-byte text.
bool ReadText(NetXDR& xdr, int socket, bool unicode, ZoString& text) {
    if (unicode) {
        return xdr.Unicode(socket, XDR_DECODE, text) != 0;
    }
    char* received = nullptr;
    if (!xdr.String(socket, XDR_DECODE, received)) {
        return false;
    }
    text = ZoString(received);
    std::free(received);
    return true;
}

bool HoldsList(const sL_VALUE& value) {
    return value.fValid && !value.fReference && value.kind == NET_KIND_NONE &&
           value.usType <= NET_TYPE_LIST_LAST && value.data.pList != nullptr;
}

// Releases a real's double by its type code ahead of Cleanup, so it is released exactly once.
void DisposeValueKluge(sL_VALUE* value) {
    if (value->usType == NET_TYPE_REAL) {
        delete value->data.pdValue;
        value->data.pdValue = nullptr;
    }
}

// Leaves value without value: its reference links released, the head taking over what the end
// of its chain held, then what that owns released. A list it held is handed to the caller.
sLIST_HEADER* Empty(sL_VALUE& value) {
    while (value.fValid && value.fReference) {
        sL_VALUE* link = value.data.pReference;
        if (link == nullptr) {
            value.data = {};
            value.fReference = 0;
            value.fValid = 0;
            break;
        }
        NetTakeValue(value, *link);
        link->~sL_VALUE();
        std::free(link);
    }
    if (!value.fValid) {
        return nullptr;
    }
    sLIST_HEADER* list = nullptr;
    if (HoldsList(value)) {
        list = value.data.pList;
        value.data.pList = nullptr;
    }
    DisposeValueKluge(&value);
    NetCleanup(value);
    value.fValid = 0;
    return list;
}

// Releases a list, its elements and what they hold, lists in lists included, in one pass: the
// elements of a list met on the way join the chain being released, so neither the depth of the
// nesting nor the length of a list grows the stack.
void ReleaseList(sLIST_HEADER* list) {
    sLIST_NODE* pending = list->pFirst;
    delete list;
    while (pending != nullptr) {
        sLIST_NODE* node = pending;
        pending = node->pNext;
        if (sLIST_HEADER* inner = Empty(*node)) {
            if (sLIST_NODE* first = inner->pFirst) {
                sLIST_NODE* last = first;
                while (last->pNext != nullptr) {
                    last = last->pNext;
                }
                last->pNext = pending;
                pending = first;
            }
            delete inner;
        }
        delete node;
    }
}

void ReleaseLinks(sL_VALUE* link) {
    while (link != nullptr) {
        sL_VALUE* next = link->fReference ? link->data.pReference : nullptr;
        link->~sL_VALUE();
        std::free(link);
        link = next;
    }
}

void MakeReference(sL_VALUE& value, sL_VALUE* link, std::uint16_t type) {
    value.data = {};
    value.data.pReference = link;
    value.usType = type;
    value.kind = NET_KIND_NONE;
    value.fSpare10 = 0;
    value.fSpare20 = 0;
    value.fReference = 1;
    value.fValid = 1;
}

// Puts a received body behind depth reference links. The links are made before the caller's
// value is touched, so a link that cannot be had leaves it as it was (-4).
int Commit(sL_VALUE& value, sL_VALUE& received, std::uint16_t type, std::int16_t depth) {
    if (depth > 0 &&
        !NetDecodeCharge(NetAllocCost(sizeof(sL_VALUE), static_cast<std::size_t>(depth)))) {
        return kReadFailed;
    }
    sL_VALUE* first = nullptr;
    sL_VALUE* last = nullptr;
    for (std::int16_t i = 0; i < depth; ++i) {
        void* memory = std::calloc(1, sizeof(sL_VALUE));
        if (memory == nullptr) {
            ReleaseLinks(first);
            return kReadFailed;
        }
        auto* link = new (memory) sL_VALUE();
        link->usType = type;
        if (last != nullptr) {
            MakeReference(*last, link, type);
        } else {
            first = link;
        }
        last = link;
    }
    value.Cleanup();
    if (first != nullptr) {
        MakeReference(value, first, type);
        NetTakeValue(*last, received);
    } else {
        NetTakeValue(value, received);
    }
    return 0;
}

}  // namespace

NetPacker::NetPacker(NetXDR* encoder, int socket, unsigned char unicode)
    : m_pXdr(encoder), m_nSocket(socket), m_usUnicode(unicode) {}

int NetPacker::WritePresence(unsigned char present) {
    return m_pXdr->Byte(m_nSocket, XDR_ENCODE, present) ? 0 : kWriteFailed;
}

int NetPacker::ReadPresence(sL_VALUE& value) {
    value.Cleanup();
    value.fValid = 0;
    unsigned char present;
    if (!m_pXdr->Byte(m_nSocket, XDR_DECODE, present)) {
        return kReadFailed;
    }
    return present != 0 ? 1 : 0;
}

int NetPacker::Pack(const sL_VALUE& value, unsigned short type, const void* context) {
    if (IsListCode(type)) {
        return PackList(value.data.pList, NetElementType(value.data.pList), context);
    }
    // A real or string without its object goes out as "no value", which every type accepts.
    switch (type) {
        case NET_TYPE_UNKNOWN:
            return PackUnknown(context);
        case NET_TYPE_BOOLEAN: {
            const int flag = value.data.lValue != 0 ? 1 : 0;
            return PackBoolean(flag, context);
        }
        case NET_TYPE_INTEGER:
            return PackInteger(value.data.lValue, context);
        case NET_TYPE_REAL:
            if (value.kind != NET_KIND_REAL || value.data.pdValue == nullptr) {
                return PackUnknown(context);
            }
            return PackReal(*value.data.pdValue, context);
        case NET_TYPE_STRING:
            if (value.kind != NET_KIND_STRING || value.data.pString == nullptr) {
                return PackUnknown(context);
            }
            return PackString(*value.data.pString, context);
        case NET_TYPE_TIME:
            return PackTime(value.data.time, context);
        case NET_TYPE_DATE:
            return PackDate(value.data.date, context);
        default:
            break;
    }
    PackHandleLine("Pack Handle\n");
    const int result = PackHandle(value.data.lValue, type, context);
    PackHandleLine("Pack Handle 3\n");
    return result;
}

void NetPackerOutput(std::FILE* stream) {
    PackerOutput().store(stream, std::memory_order_relaxed);
}

std::FILE* NetPackerOutput() {
    return PackerOutput().load(std::memory_order_relaxed);
}

int NetPacker::Pack(const sL_VALUE& value, const void* context) {
    if (!value.fValid) {
        return PackUnknown(context);
    }
    return Pack(value, value.usType, context);
}

int NetPacker::Unpack(sL_VALUE& value, unsigned short type, const void* context) {
    if (IsListCode(type)) {
        return UnpackList(value, static_cast<unsigned short>(type + NET_TYPE_UNKNOWN), context);
    }
    switch (type) {
        case NET_TYPE_UNKNOWN: {
            const int present = ReadPresence(value);
            return present > 0 ? kMalformed : present;
        }
        case NET_TYPE_BOOLEAN:
            return UnpackBoolean(value, context);
        case NET_TYPE_INTEGER:
            return UnpackInteger(value, context);
        case NET_TYPE_REAL:
            return UnpackReal(value, context);
        case NET_TYPE_STRING:
            return UnpackString(value, context);
        case NET_TYPE_TIME:
            return UnpackTime(value, context);
        case NET_TYPE_DATE:
            return UnpackDate(value, context);
        default:
            return UnpackHandle(value, type, context);
    }
}

// A present value: its presence byte, then its body. The codecs take their value by reference,
// hence the copies.
int NetPacker::PackBoolean(const int& value, const void*) {
    unsigned char byte = value != 0 ? 1 : 0;
    return WritePresence(1) == 0 && m_pXdr->Byte(m_nSocket, XDR_ENCODE, byte) ? 0 : kWriteFailed;
}

int NetPacker::PackInteger(const std::int32_t& value, const void*) {
    std::int32_t copy = value;
    return WritePresence(1) == 0 && m_pXdr->Long(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
}

int NetPacker::PackReal(const double& value, const void*) {
    double copy = value;
    return WritePresence(1) == 0 && m_pXdr->Double(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
}

int NetPacker::PackString(const ZoString& value, const void*) {
    const bool present = !value.IsEmpty();
    if (WritePresence(present ? 1 : 0) < 0) {
        return kWriteFailed;
    }
    if (!present) {
        return 0;
    }
    if (m_usUnicode) {
        ZoString copy(value);
        return m_pXdr->Unicode(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
    }
    char* text = const_cast<char*>(value.mbcs());
    return m_pXdr->String(m_nSocket, XDR_ENCODE, text) ? 0 : kWriteFailed;
}

int NetPacker::PackTime(const TIMEREC& value, const void*) {
    TIMEREC copy = value;
    return WritePresence(1) == 0 && m_pXdr->Time(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
}

int NetPacker::PackDate(const DATEREC& value, const void*) {
    DATEREC copy = value;
    return WritePresence(1) == 0 && m_pXdr->Date(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
}

int NetPacker::PackHandle(const std::int32_t& value, unsigned short, const void*) {
    PackHandleLine("Pack Handle 1\n");
    if (WritePresence(1) < 0) {
        return kWriteFailed;
    }
    PackHandleLine("Pack Handle 2\n");
    std::int32_t copy = value;
    return m_pXdr->Long(m_nSocket, XDR_ENCODE, copy) ? 0 : kWriteFailed;
}

int NetPacker::PackList(const sLIST_HEADER* list, unsigned short type, const void* context) {
    // The chain, not lCount, decides which elements go out; keeping them equal is the owner's duty.
    const std::int32_t count = list != nullptr ? list->lCount : 0;
    const std::int32_t current = list != nullptr ? list->lCurrent : 0;
    int sum = 0;
    int result = PackInteger(count, context);
    if (result < 0) {
        return result;
    }
    sum += result;
    result = PackInteger(current, context);
    if (result < 0) {
        return result;
    }
    sum += result;
    for (const sLIST_NODE* node = list != nullptr ? list->pFirst : nullptr; node != nullptr;
         node = node->pNext) {
        result = Pack(*node, type, context);
        if (result < 0) {
            return result;
        }
        sum += result;
    }
    return sum;
}

int NetPacker::PackUnknown(const void*) {
    return WritePresence(0);
}

int NetPacker::UnpackBoolean(sL_VALUE& value, const void*) {
    return UnpackBody(ReadPresence(value), value, NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN,
                      [this](sL_VALUE::Data& data) {
                          unsigned char byte;
                          if (!m_pXdr->Byte(m_nSocket, XDR_DECODE, byte)) {
                              return false;
                          }
                          data.lValue = byte;  // as received, not reduced to 0 or 1
                          return true;
                      });
}

int NetPacker::UnpackInteger(sL_VALUE& value, const void*) {
    return UnpackBody(ReadPresence(value), value, NET_TYPE_INTEGER, NET_KIND_INTEGER,
                      [this](sL_VALUE::Data& data) {
                          return m_pXdr->Long(m_nSocket, XDR_DECODE, data.lValue) != 0;
                      });
}

int NetPacker::UnpackReal(sL_VALUE& value, const void*) {
    return UnpackBody(ReadPresence(value), value, NET_TYPE_REAL, NET_KIND_REAL,
                      [this](sL_VALUE::Data& data) {
                          double received;
                          if (!m_pXdr->Double(m_nSocket, XDR_DECODE, received)) {
                              return false;
                          }
                          data.pdValue = NewCharged<double>(received);
                          return data.pdValue != nullptr;
                      });
}

int NetPacker::UnpackString(sL_VALUE& value, const void*) {
    return UnpackBody(ReadPresence(value), value, NET_TYPE_STRING, NET_KIND_STRING,
                      [this](sL_VALUE::Data& data) {
                          ZoString received;
                          if (!ReadText(*m_pXdr, m_nSocket, m_usUnicode != 0, received)) {
                              return false;
                          }
                          data.pString = NetNewString(received.mbcs(), received.mbcsBytes());
                          return data.pString != nullptr;
                      });
}

int NetPacker::UnpackTime(sL_VALUE& value, const void*) {
    // Component 3 never travels.
    return UnpackBody(ReadPresence(value), value, NET_TYPE_TIME, NET_KIND_TIME,
                      [this](sL_VALUE::Data& data) {
                          for (int i = 0; i < 3; ++i) {
                              if (!m_pXdr->Byte(m_nSocket, XDR_DECODE, data.time.ucComponent[i])) {
                                  return false;
                              }
                          }
                          return true;
                      });
}

int NetPacker::UnpackDate(sL_VALUE& value, const void*) {
    return UnpackBody(ReadPresence(value), value, NET_TYPE_DATE, NET_KIND_DATE,
                      [this](sL_VALUE::Data& data) {
                          return m_pXdr->Date(m_nSocket, XDR_DECODE, data.date) != 0;
                      });
}

int NetPacker::UnpackHandle(sL_VALUE& value, unsigned short type, const void*) {
    return UnpackBody(ReadPresence(value), value, type, NET_KIND_HANDLE,
                      [this](sL_VALUE::Data& data) {
                          return m_pXdr->Long(m_nSocket, XDR_DECODE, data.lValue) != 0;
                      });
}

int NetPacker::UnpackList(sL_VALUE& value, unsigned short type, const void* context) {
    sL_VALUE count;
    sL_VALUE cursor;
    int sum = 0;
    for (sL_VALUE* word : {&count, &cursor}) {
        const int result = UnpackInteger(*word, context);
        if (result < 0) {
            return result;
        }
        sum += result;
    }
    const std::int32_t n = count.fValid ? count.data.lValue : 0;
    const std::int32_t position = cursor.fValid ? cursor.data.lValue : 0;
    sLIST_HEADER* list = NetStartList(value, type);
    if (list == nullptr) {
        return kReadFailed;
    }
    // Elements are made as they arrive: the received count alone allocates nothing.
    for (std::int32_t i = 1; i <= n; ++i) {
        auto* node = NewCharged<sLIST_NODE>();
        if (node == nullptr) {
            return kReadFailed;
        }
        NetAppendNode(*list, node, i, position, type);
        const int result = Unpack(*node, type, context);
        if (result < 0) {
            return result;
        }
        sum += result;
    }
    return sum;
}

int NetPacker::PackType(unsigned short type) {
    return type >= NET_TYPE_UNKNOWN ? PackIntrinsicType(type) : PackListType(type);
}

int NetPacker::UnpackType(unsigned short& type) {
    unsigned char code;
    if (!m_pXdr->Byte(m_nSocket, XDR_DECODE, code)) {
        return kReadFailed;
    }
    return NetTypeFromByte(*this, code, type);
}

int NetPacker::PackIntrinsicType(unsigned short type) {
    auto code = static_cast<unsigned char>(type - NET_TYPE_UNKNOWN);
    return m_pXdr->Byte(m_nSocket, XDR_ENCODE, code) ? 0 : kWriteFailed;
}

int NetPacker::PackListType(unsigned short type) {
    auto code = static_cast<unsigned char>((type - NET_TYPE_UNKNOWN) | kListTypeBit);
    return m_pXdr->Byte(m_nSocket, XDR_ENCODE, code) ? 0 : kWriteFailed;
}

int NetPacker::UnpackIntrinsicType(unsigned short& type, unsigned char code) {
    type = static_cast<unsigned short>(NET_TYPE_UNKNOWN + (code & kTypeCodeMask));
    return 0;
}

int NetPacker::UnpackListType(unsigned short& type, unsigned char code) {
    if (code & kListTypeInvalid) {
        return kMalformed;
    }
    type = code & kTypeCodeMask;
    return 0;
}

unsigned char NetTypeByte(unsigned short type) {
    const auto code = static_cast<unsigned char>(type - NET_TYPE_UNKNOWN);
    return IsListCode(type) ? static_cast<unsigned char>(code | kListTypeBit) : code;
}

int NetTypeFromByte(NetPacker& packer, unsigned char code, unsigned short& type) {
    if ((code & kTypeClassMask) == 0) {
        return packer.UnpackIntrinsicType(type, code);
    }
    if ((code & kTypeClassMask) == kListTypeBit) {
        return packer.UnpackListType(type, code);
    }
    return kMalformed;
}

unsigned short NetElementType(const sLIST_HEADER* list) {
    if (list != nullptr && list->lCount != 0 && list->pFirst != nullptr) {
        return list->pFirst->usType;
    }
    return NET_TYPE_UNKNOWN;
}

sLIST_HEADER* NetStartList(sL_VALUE& value, unsigned short elementType) {
    auto* list = NewCharged<sLIST_HEADER>();
    if (list != nullptr) {
        value.Cleanup();
        value.data = {};
        value.data.pList = list;
        value.usType = static_cast<std::uint16_t>(elementType - NET_TYPE_UNKNOWN);
        value.fValid = 1;
    }
    return list;
}

extern "C" int NET_SendVDXData(NetXDR* encoder, sL_VALUE* value, int socket,
                               unsigned char unicode) {
    if (encoder == nullptr || value == nullptr) {
        return kMalformed;
    }
    const std::uint16_t type = value->fValid ? value->usType : std::uint16_t{NET_TYPE_UNKNOWN};
    // The depth goes out as a 16-bit count; a longer chain (or a cycle) or a broken one cannot
    // be sent, and is refused before anything is written.
    const sL_VALUE* end = value;
    std::int16_t depth = 0;
    while (end->fReference) {
        if (end->data.pReference == nullptr || depth == std::numeric_limits<std::int16_t>::max()) {
            return kMalformed;
        }
        end = end->data.pReference;
        ++depth;
    }
    NetPacker packer(encoder, socket, unicode);
    const bool inMemory = NetOwnEncoder(*encoder);
    std::optional<NetSendGather> gather;  // the value leaves in one send, or joins its message
    if (inMemory) {
        gather.emplace(socket);
    }
    NetValueWriter out(packer, *encoder, socket, unicode != 0, inMemory);
    int result = out.Type(type);
    if (result >= 0) {
        result = out.Depth(depth) ? out.Pack(*end, type) : kWriteFailed;
    }
    if (gather && !gather->Send() && result >= 0) {
        result = kWriteFailed;
    }
    return result;
}

namespace {

// Reads a packed value into value, as NET_ReceiveVDXData tells.
int Receive(NetValueReader& in, sL_VALUE& value) {
    unsigned short type = 0;
    int result = in.Type(type);
    if (result == kReadFailed) {
        return kReadFailed;
    }
    std::int16_t depth;
    if (!in.Depth(depth)) {
        return kReadFailed;
    }
    // A chain deeper than the limit is refused before its body is read: each link costs an
    // allocation, so the limit bounds what one value can make the receiver do.
    const bool malformed = result < 0 || depth > NetDecodeDepthLimit();
    sL_VALUE received;
    if (!malformed) {
        result = in.Unpack(received, type);
        if (result >= 0) {
            result = Commit(value, received, type, depth);
        }
        if (result >= 0) {
            return 0;
        }
        if (result == kReadFailed) {
            NET_DisposeVDXData(&received);
            return kReadFailed;
        }
    }
    NET_DisposeVDXData(&value);  // leaves it without value
    NET_DisposeVDXData(&received);
    return kMalformed;
}

}  // namespace

extern "C" int NET_ReceiveVDXData(NetXDR* encoder, sL_VALUE* value, int socket,
                                  unsigned char unicode) {
    if (encoder == nullptr || value == nullptr) {
        return kMalformed;
    }
    NetPacker packer(encoder, socket, unicode);
    if (!NetOwnEncoder(*encoder)) {
        NetValueReader in(packer, *encoder, socket, unicode != 0, false);
        return Receive(in, *value);
    }
    // A value read on its own, outside a record, is read from what has arrived as well.
    NetReadAhead ahead(socket);
    int result;
    {
        NetValueReader in(packer, *encoder, socket, unicode != 0, true);
        result = Receive(in, *value);
    }
    return ahead.Finish() || result < 0 ? result : kReadFailed;
}

extern "C" int NET_DisposeVDXData(sL_VALUE* value) {
    if (value != nullptr) {
        if (sLIST_HEADER* list = Empty(*value)) {
            ReleaseList(list);
        }
    }
    return 0;
}

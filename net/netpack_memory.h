// SPDX-License-Identifier: Apache-2.0
// How the value-data functions read and write packed values. With the library's own encoder
// (exactly NetXDRImp) the bytes of a call are in memory already, gathered on send and received
// or peeked on receive: bodies are then decoded from and encoded into those bytes in place, a
// run of list elements at a time, without a codec call per primitive. Whatever is not in memory
// (a body cut by the end of what has arrived, a text longer than the buffer, a handle with its
// lines) goes through the packer and the encoder, as does everything with any other encoder,
// which so sees every codec call. The bytes on the wire and the values are the same either way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/netpack.h"

// The packer's rules that its in-memory counterpart follows too, in one place.
constexpr int kMalformed = -2;
constexpr int kWriteFailed = -3;
constexpr int kReadFailed = -4;

inline bool IsListCode(unsigned short type) {
    return type < NET_TYPE_UNKNOWN;
}

unsigned char NetTypeByte(unsigned short type);
// The type byte of a type code: intrinsic codes keep bits 0xC0 clear, list codes carry 0x80.

int NetTypeFromByte(NetPacker& packer, unsigned char code, unsigned short& type);
// A received type byte's code, through the packer's UnpackIntrinsicType or UnpackListType;
// -2 for a byte of neither class.

unsigned short NetElementType(const sLIST_HEADER* list);
// What a list's elements are packed as: its first element's type code, or 32000 when empty.

ZoString* NetNewString(const char* text, std::size_t bytes);
// A received text (bytes long, or null for a null string) as a string of its own, charged to
// the decode budget with the blocks it really takes; null when the budget or the heap refuses.

inline void NetCleanup(sL_VALUE& value) {
    // Cleanup, without a call where it has nothing to release: lists have many values.
    if (value.fValid && !value.fReference &&
        (value.kind == NET_KIND_REAL || value.kind == NET_KIND_STRING)) {
        value.Cleanup();
    }
}

inline void NetStoreBody(sL_VALUE& value, std::uint16_t type, unsigned char kind,
                         const sL_VALUE::Data& data) {
    // Stores a completely received body: what the value held goes first.
    NetCleanup(value);
    value.usType = type;
    value.kind = kind;
    value.data = data;
    value.fValid = 1;
}

sLIST_HEADER* NetStartList(sL_VALUE& value, unsigned short elementType);
// A received list's empty header, already in value (so that a failure further on leaves a value
// that disposal releases), or null when the decode budget or the heap refuses it.

inline void NetAppendNode(sLIST_HEADER& list, sLIST_NODE* node, std::int32_t i,
                          std::int32_t position, unsigned short elementType) {
    // Links a new, empty node in as the list's element i (from 1), current while i <= position.
    // An element that arrives without value keeps the list's element type, so the list can be
    // sent on: the sender takes the element type from the first element.
    node->usType = elementType;
    node->pPrev = list.pLast;
    (list.pLast != nullptr ? list.pLast->pNext : list.pFirst) = node;
    if (i <= position) {
        list.pCurrent = node;
        list.lCurrent = i;
    }
    list.pLast = node;
    list.lCount = i;
}

// What a reader or writer of one value works with: the packer and encoder for what is not done in
// memory, and whether anything is (inMemory: the encoder is exactly NetXDRImp).
class NetValueCodec {
public:
    NetValueCodec(NetPacker& packer, NetXDR& encoder, int socket, bool unicode, bool inMemory)
        : m_Packer(packer),
          m_Xdr(encoder),
          m_nSocket(socket),
          m_bUnicode(unicode),
          m_bInMemory(inMemory) {}

protected:
    NetPacker& m_Packer;
    NetXDR& m_Xdr;
    int m_nSocket;
    bool m_bUnicode;
    bool m_bInMemory;
};

// Reads the parts of one packed value, in order. Owned by one call on one thread.
class NetValueReader : public NetValueCodec {
public:
    using NetValueCodec::NetValueCodec;
    ~NetValueReader();  // counts the bytes read in place as read

    int Type(unsigned short& type);                    // as NetPacker::UnpackType
    bool Depth(std::int16_t& depth);                   // false when the read failed
    int Unpack(sL_VALUE& value, unsigned short type);  // as NetPacker::Unpack

private:
    bool Have(std::size_t n);
    // True when n bytes are in memory at m_pNext, looking at what arrived since when short.
    void Leave();
    // Before the packer reads: counts what was read in place; the bytes in memory may move.
    int ByPacker(sL_VALUE& value, unsigned short type);
    int UnpackText(sL_VALUE& value);
    int UnpackList(sL_VALUE& value, unsigned short type);
    int UnpackRun(sLIST_HEADER& list, std::int32_t count, std::int32_t position,
                  unsigned short type);

    const unsigned char* m_pStart = nullptr;  // of the bytes in memory, when last looked at
    const unsigned char* m_pNext = nullptr;   // the next byte to read
    const unsigned char* m_pEnd = nullptr;
};

// Writes the parts of one packed value, in order. Owned by one call on one thread.
class NetValueWriter : public NetValueCodec {
public:
    using NetValueCodec::NetValueCodec;

    int Type(unsigned short type);                         // as NetPacker::PackType
    bool Depth(std::int16_t depth);                        // false when the write failed
    int Pack(const sL_VALUE& value, unsigned short type);  // as NetPacker::Pack

private:
    unsigned char* Room(std::size_t n);
    // Room for n bytes at the end of the message in memory, or null: write through the packer.
    int PackText(const sL_VALUE& value);
    int PackList(const sLIST_HEADER* list, unsigned short type);
};

// SPDX-License-Identifier: Apache-2.0
// The value packer and the exported value-data functions.
// Packer results: 0 or more on success; -2 malformed input, -3 a write failed, -4 a read failed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/net_xdr.h"
#include "net/netexport.h"
#include "net/netvalue.h"

// Packs one typed value onto a socket and back. Lives on the stack of one call; never shared.
// Every operation that reads or writes goes through the encoder given to the constructor. Unpacked
// reals and strings are allocated with new, list headers and elements with new, so that
// NET_DisposeVDXData can release them.
class ZORNET_API NetPacker {
public:
    NetPacker(NetXDR* encoder, int socket, unsigned char unicode);
    virtual ~NetPacker() = default;  // a derived packer may be deleted through a NetPacker*

    virtual int Pack(const sL_VALUE& value, unsigned short type, const void* context);
    virtual int Pack(const sL_VALUE& value, const void* context);
    virtual int Unpack(sL_VALUE& value, unsigned short type, const void* context);
    virtual int PackBoolean(const int& value, const void* context);
    virtual int PackInteger(const std::int32_t& value, const void* context);
    virtual int PackReal(const double& value, const void* context);
    virtual int PackString(const ZoString& value, const void* context);
    virtual int PackTime(const TIMEREC& value, const void* context);
    virtual int PackDate(const DATEREC& value, const void* context);
    virtual int PackHandle(const std::int32_t& value, unsigned short type, const void* context);
    virtual int PackList(const sLIST_HEADER* list, unsigned short type, const void* context);
    virtual int PackUnknown(const void* context);
    virtual int UnpackBoolean(sL_VALUE& value, const void* context);
    virtual int UnpackInteger(sL_VALUE& value, const void* context);
    virtual int UnpackReal(sL_VALUE& value, const void* context);
    virtual int UnpackString(sL_VALUE& value, const void* context);
    virtual int UnpackTime(sL_VALUE& value, const void* context);
    virtual int UnpackDate(sL_VALUE& value, const void* context);
    virtual int UnpackHandle(sL_VALUE& value, unsigned short type, const void* context);
    virtual int UnpackList(sL_VALUE& value, unsigned short type, const void* context);
    virtual int PackType(unsigned short type);
    virtual int UnpackType(unsigned short& type);
    virtual int PackIntrinsicType(unsigned short type);
    virtual int PackListType(unsigned short type);
    virtual int UnpackIntrinsicType(unsigned short& type, unsigned char code);
    virtual int UnpackListType(unsigned short& type, unsigned char code);

private:
    int WritePresence(unsigned char present);
    // 0, or -3 when the write failed.
    int ReadPresence(sL_VALUE& value);
    // Empties value first; 1 when a body follows, 0 when none does, -4 when the read failed.

    NetXDR* m_pXdr;  // not owned
    int m_nSocket;
    std::uint16_t m_usUnicode;  // non-zero: strings travel in the Unicode form
};

ZORNET_API void NetPackerOutput(std::FILE* stream);
// Any thread. Where the packer writes its "Pack Handle" lines (four for every handle value it
// packs): standard output by default, null silences them. The stream stays the caller's. The
// environment variable "ZOR_NET_PACK_HANDLE_LINES" sets the start value: "off" silences the
// lines, "stderr" sends them to standard error.

ZORNET_API std::FILE* NetPackerOutput();
// Any thread. The stream set now, or null while silenced.

extern "C" {
ZORNET_API int NET_SendVDXData(NetXDR* encoder, sL_VALUE* value, int socket, unsigned char unicode);
// Any thread, one per socket. Writes one packed value (type byte, depth, body): 0 or more, -3
// when a write failed, -2 for a reference chain that is broken or longer than 32767 links.

ZORNET_API int NET_ReceiveVDXData(NetXDR* encoder, sL_VALUE* value, int socket,
                                  unsigned char unicode);
// Any thread, one per socket. Reads one packed value into a constructed value: 0, -4 when a read
// failed (the value is unchanged) or -2 for malformed input (the value is disposed of as by
// NET_DisposeVDXData). On success the value's real or string is released (Cleanup) and the value
// then owns what it received: a real's double, a string, its reference links (calloc), and a
// list's header and elements. Allocations are charged to the thread's decode budget, if any.

ZORNET_API int NET_DisposeVDXData(sL_VALUE* value);
// Owning thread. Releases what a value holds, lists deeply included (header and elements made
// with new), its reference links (made with calloc) and leaves it without value; returns 0.
// A value handed here becomes the library's to release: do not pass values whose lists or
// reference targets you still use.
}

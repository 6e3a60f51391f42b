// The value packer and the exported value-data functions.
// Packer results: 0 or more on success; -2 malformed input, -3 a write failed, -4 a read failed.
#pragma once

#include <cstdint>

#include "net/net_xdr.h"
#include "net/netvalue.h"

// Packs one typed value onto a socket and back. Lives on the stack of one call; never shared.
class NetPacker {
public:
    NetPacker(NetXDR* encoder, int socket, unsigned char unicode);
    ~NetPacker() = default;

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
    NetXDR* m_pXdr;          // not owned
    int m_nSocket;
    std::uint16_t m_usUnicode;  // non-zero: strings travel in the Unicode form
};

extern "C" {
int NET_SendVDXData(NetXDR* encoder, sL_VALUE* value, int socket, unsigned char unicode);
// Any thread, one per socket. Writes one packed value (type byte, depth, body).

int NET_ReceiveVDXData(NetXDR* encoder, sL_VALUE* value, int socket, unsigned char unicode);
// Any thread, one per socket. Reads one packed value into a constructed value; on success or on
// malformed input (-2) whatever the value held is released first. The value then owns what it
// received: a real's double, a string, its reference links, and a list's header and elements.

int NET_DisposeVDXData(sL_VALUE* value);
// Releases what a value holds, lists deeply included, and leaves it without value. A value handed
// here becomes the library's to release: do not pass values whose lists you still use.
}

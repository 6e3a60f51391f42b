// SPDX-License-Identifier: Apache-2.0
// The encoder: every byte the library exchanges with a peer passes through a NetXDR.
// Codecs return 1 on success and 0 on failure; after a failure the stream position is undefined
// and the connection is not used again. NetXDRImp holds no state: one object serves every socket
// on every thread, as long as one socket is used by one thread at a time.
#pragma once

#include <cstdint>

#include "net/netexport.h"
#include "net/netmsg.h"
#include "net/netvalue.h"

class ZoString;

enum XDR_Op { XDR_DECODE = 0, XDR_ENCODE = 1, XDR_FREE = 2 };

class ZORNET_API NetXDR {
public:
    virtual ~NetXDR() = default;
    virtual unsigned char Read(int socket, void* buffer, std::int32_t length) = 0;
    virtual unsigned char Write(int socket, const void* buffer, std::int32_t length) = 0;
    virtual unsigned char Byte(int socket, XDR_Op op, unsigned char& value) = 0;
    virtual unsigned char Short(int socket, XDR_Op op, std::int16_t& value) = 0;
    virtual unsigned char UShort(int socket, XDR_Op op, std::uint16_t& value) = 0;
    virtual unsigned char Long(int socket, XDR_Op op, std::int32_t& value) = 0;
    virtual unsigned char ULong(int socket, XDR_Op op, std::uint32_t& value) = 0;
    virtual unsigned char Double(int socket, XDR_Op op, double& value) = 0;
    virtual unsigned char Time(int socket, XDR_Op op, TIMEREC& value) = 0;
    virtual unsigned char Date(int socket, XDR_Op op, DATEREC& value) = 0;
    virtual unsigned char String(int socket, XDR_Op op, char*& text) = 0;
    virtual unsigned char Unicode(int socket, XDR_Op op, ZoString& text) = 0;
    virtual unsigned char IntCall(int socket, XDR_Op op, MSGINTCALL& record) = 0;
    virtual unsigned char RealCall(int socket, XDR_Op op, MSGREALCALL& record) = 0;
    virtual unsigned char StringCall(int socket, XDR_Op op, MSGSTRINGCALL& record) = 0;
    virtual unsigned char UserCall(int socket, XDR_Op op, MSGUSERCALL& record,
                                   unsigned char unicode) = 0;
};

class ZORNET_API NetXDRImp : public NetXDR {
public:
    NetXDRImp() = default;
    ~NetXDRImp() override = default;
    unsigned char Read(int socket, void* buffer, std::int32_t length) override;
    unsigned char Write(int socket, const void* buffer, std::int32_t length) override;
    unsigned char Byte(int socket, XDR_Op op, unsigned char& value) override;
    unsigned char Short(int socket, XDR_Op op, std::int16_t& value) override;
    unsigned char UShort(int socket, XDR_Op op, std::uint16_t& value) override;
    unsigned char Long(int socket, XDR_Op op, std::int32_t& value) override;
    unsigned char ULong(int socket, XDR_Op op, std::uint32_t& value) override;
    unsigned char Double(int socket, XDR_Op op, double& value) override;
    unsigned char Time(int socket, XDR_Op op, TIMEREC& value) override;
    unsigned char Date(int socket, XDR_Op op, DATEREC& value) override;
    unsigned char String(int socket, XDR_Op op, char*& text) override;
    unsigned char Unicode(int socket, XDR_Op op, ZoString& text) override;
    unsigned char IntCall(int socket, XDR_Op op, MSGINTCALL& record) override;
    unsigned char RealCall(int socket, XDR_Op op, MSGREALCALL& record) override;
    unsigned char StringCall(int socket, XDR_Op op, MSGSTRINGCALL& record) override;
    unsigned char UserCall(int socket, XDR_Op op, MSGUSERCALL& record,
                           unsigned char unicode) override;
    virtual unsigned char Value(int socket, XDR_Op op, sL_VALUE* value, unsigned char unicode);
    // Decode, encode or free one packed value; the socket is unused for XDR_FREE (pass -1).
};

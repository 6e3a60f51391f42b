// SPDX-License-Identifier: Apache-2.0
// The wire protocol's constants, shared by the client and the server faces.
#pragma once

#include <cstdint>

#include "net/netexport.h"

using ZoErrorCode = std::int32_t;

// Message identifiers: the 32-bit word that opens every message a client sends.
enum : std::uint32_t {
    NET_MSG_CONNECT = 1,  // version, then the connect block
    NET_MSG_INTEGER = 2,  // MSGINTCALL
    NET_MSG_REAL = 3,     // MSGREALCALL
    NET_MSG_STRING = 4,   // MSGSTRINGCALL
    NET_MSG_USER = 5,     // MSGUSERCALL and its values
    NET_MSG_CLOSE = 6     // nothing; answered with the value 1
};

// The connect block: host name and service name, each NUL-terminated and zero-filled.
constexpr int NET_CONNECT_BLOCK_SIZE = 514;
constexpr int NET_CONNECT_HOST_OFFSET = 0;
constexpr int NET_CONNECT_SERVICE_OFFSET = 257;
constexpr int NET_CONNECT_FIELD_SIZE = 257;
constexpr int NET_CONNECT_NAME_MAX = 255;  // characters a client copies into each field

// Versions 0 and 1 get the reply code alone; version 2 also gets the Unicode word.
constexpr std::uint32_t NET_PROTOCOL_VERSION = 2;

// Bits of a call record's ulFlags.
constexpr std::uint32_t NET_FLAG_NOREPLY = 0x1;
constexpr std::uint32_t NET_FLAG_RETURNDATA = 0x2;

// Handshake refusals, sent negated in place of a handle number.
constexpr std::int32_t NET_REPLY_NO_MEMORY = -3;
constexpr std::int32_t NET_REPLY_NO_HANDLE = -27;
constexpr std::int32_t NET_REPLY_BAD_VERSION = -30;
constexpr std::int32_t NET_REPLY_NO_SERVICE = -31;

// Status codes: positive, 1 means success.
enum : std::int32_t {
    NET_OK = 1,
    NET_NOTHING_TO_REMOVE = 2,
    NET_NO_MEMORY = 3,
    NET_NO_SOCKET = 10,  // socket or port cannot be opened, or listener refused
    NET_NO_EVENT = 11,   // no event object attached
    NET_REFUSED = 26,    // connection refused by the application
    NET_NO_HANDLE = 27,
    NET_BAD_PORT = 29,
    NET_BAD_VERSION = 30,
    NET_NO_SERVICE = 31,
    NET_SOCKET_ERROR = 32,  // write, read, lookup or connect failed
    NET_NOT_CONNECTED = 33,
    NET_HANDLER_FAILED = 100  // the application's handler failed (the zornet:: layer's servers)
};

constexpr std::int32_t NET_LISTEN_HANDLE = 65535;  // the generic listener's handle number
constexpr std::uint16_t NET_DEFAULT_PORT = 5001;   // when the services database has no "olmnet"

ZORNET_API const char* NetStatusText(std::int32_t status);
// Any thread. A short English meaning of a status code, for people reading tools' output.

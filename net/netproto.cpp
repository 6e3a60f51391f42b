// SPDX-License-Identifier: Apache-2.0
// The protocol's status codes in words.
#include "net/netproto.h"

const char* NetStatusText(std::int32_t status) {
    switch (status) {
        case NET_OK:
            return "success";
        case NET_NOTHING_TO_REMOVE:
            return "nothing to remove";
        case NET_NO_MEMORY:
            return "out of memory, or the application gave no event object";
        case NET_NO_SOCKET:
            return "socket or port cannot be opened, or the listener was refused";
        case NET_NO_EVENT:
            return "no event object attached";
        case NET_REFUSED:
            return "connection refused by the application";
        case NET_NO_HANDLE:
            return "no such handle";
        case NET_BAD_PORT:
            return "bad port in a service text";
        case NET_BAD_VERSION:
            return "protocol version not supported";
        case NET_NO_SERVICE:
            return "service not found";
        case NET_SOCKET_ERROR:
            return "socket write, read, lookup or connect failed";
        case NET_NOT_CONNECTED:
            return "not connected";
        case NET_HANDLER_FAILED:
            return "the handler of the call failed";
        default:
            return "unknown status";
    }
}

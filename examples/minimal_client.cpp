// SPDX-License-Identifier: Apache-2.0
// The smallest client: connects to "double" on HOST:PORT (see minimal_server.cpp), makes an
// integer call and a user call, and prints what comes back.
#include <cstdio>
#include <cstdlib>

#include "net/net.h"

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : NET_DEFAULT_PORT);

    NetXDRImp xdr;
    NetClient client(nullptr, &xdr, NET_PROTOCOL_VERSION);  // no server: no trace
    std::int32_t handle = 0;
    std::int32_t status = client.CreateSocket(host, port);
    if (status == NET_OK)
        status = client.ConnectMsg("minimal_client", "double", handle);
    if (status != NET_OK) {
        std::fprintf(stderr, "cannot connect: %s\n", NetStatusText(status));
        return 1;
    }

    // Every call record carries the handle number that the handshake gave.
    ZoErrorCode error = NET_OK;
    MSGINTCALL call{21, 0, 0, handle};
    MSGINTCALL answer = client.IntegerMsg(call, error);
    if (error != NET_OK)
        return 1;
    std::printf("integer call: status %u, value %d\n", answer.ulStatus, answer.lValue);

    // A user call with two values: an integer and a string. The values release their own
    // string; the block is ours because we made it.
    sL_VALUE values[2];
    values[0].usType = NET_TYPE_INTEGER;
    values[0].kind = NET_KIND_INTEGER;
    values[0].data.lValue = 5;
    values[0].fValid = 1;
    values[1].usType = NET_TYPE_STRING;
    values[1].kind = NET_KIND_STRING;
    values[1].data.pString = new ZoString("five");
    values[1].fValid = 1;
    MSGUSERDATA block{};
    block.lCount = 2;
    block.pValues = values;
    MSGUSERCALL request{0, 0, handle, 0, 0, 0, &block};
    MSGUSERCALL reply = client.UserMsg(request, error);
    if (error != NET_OK)
        return 1;
    std::printf("user call: status %u, %d values\n", reply.ulStatus, reply.lCount);
    for (std::int32_t i = 0; reply.pData != nullptr && i < reply.pData->lCount; ++i) {
        const sL_VALUE& v = reply.pData->pValues[i];
        if (v.fValid && v.usType == NET_TYPE_INTEGER)
            std::printf("  integer %d\n", v.data.lValue);
        if (v.fValid && v.usType == NET_TYPE_STRING)
            std::printf("  string \"%s\"\n", v.data.pString->mbcs());
    }
    xdr.UserCall(-1, XDR_FREE, reply, 0);  // the answer's block was allocated by the decoder

    client.CloseMsg(handle);
    return 0;
}

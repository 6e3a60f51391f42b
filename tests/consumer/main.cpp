// SPDX-License-Identifier: Apache-2.0
// Serves "double" on a free loopback port and calls it from a client thread in the same process:
// exits 0 when the answer comes back doubled.
#include <cstdio>
#include <string>
#include <thread>

#include "../testutil.h"
#include "net/net.h"

NetEvent* MakeDoubler();  // doubler.cpp

int main() {
    ZoInputLoop loop;
    NetServer* server = NetServer::CreateServer();
    server->Init(new NetXDRImp, 0);
    server->StartServer(&loop);
    std::uint16_t port = 0;
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        const std::uint16_t candidate = testutil::FreePort();
        const std::string service = "double:" + std::to_string(candidate);
        if (server->RegisterFunc(service.c_str(), MakeDoubler()) == NET_OK)
            port = candidate;
    }

    std::int32_t answer = 0;
    std::thread client([&] {
        NetXDRImp xdr;
        NetClient connection(nullptr, &xdr, NET_PROTOCOL_VERSION);
        std::int32_t handle = 0;
        if (port != 0 && connection.CreateSocket("127.0.0.1", port) == NET_OK &&
            connection.ConnectMsg("consumer", "double", handle) == NET_OK) {
            ZoErrorCode error = NET_OK;
            MSGINTCALL call{21, 0, 0, handle};
            answer = connection.IntegerMsg(call, error).lValue;
            connection.CloseMsg(handle);
        }
        loop.Stop();
    });
    loop.Run();
    client.join();
    delete server;
    std::printf("zornet %s: 21 doubled is %d\n", ZORNET_VERSION_STRING, answer);
    return answer == 42 ? 0 : 1;
}

// SPDX-License-Identifier: Apache-2.0
// minimal_client.cpp written with the zornet:: layer: connects to "double" on HOST:PORT (see
// modern_server.cpp or minimal_server.cpp), makes an integer call and a user call, and prints
// the answers (values in netcall's literal syntax).
#include <cstdio>
#include <cstdlib>

#include "zornet/client.h"

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : NET_DEFAULT_PORT);
    try {
        zornet::Client client(host, "double", port);  // closed when it goes out of scope
        std::printf("integer call: %d\n", client.Call(21).Get());
        auto reply = client.Call({5, "five", zornet::Value::List{3, 4}});
        std::printf("user call: %s\n", zornet::Print(reply.Get()).c_str());
    } catch (const zornet::Error& error) {  // no connection, or a status other than success
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}

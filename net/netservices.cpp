// SPDX-License-Identifier: Apache-2.0
// Port numbers from the services database.
#include "netservices.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "net/netproto.h"

namespace {

// The port of a services-database entry over "tcp", in host order; false when there is none.
// The reentrant lookup: clients, handshakes and the registry look ports up from any thread.
bool ServicePort(const char* name, std::uint16_t& port) {
    std::vector<char> buffer(1024);
    for (;;) {
        servent entry;
        servent* found = nullptr;
        const int rc = getservbyname_r(name, "tcp", &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < 65536) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr) {
            return false;
        }
        port = ntohs(static_cast<std::uint16_t>(found->s_port));
        return true;
    }
}

}  // namespace

std::uint16_t NetDefaultPort() {
    std::uint16_t port = NET_DEFAULT_PORT;
    ServicePort("olmnet", port);
    return port;
}

std::uint16_t NetPortFromText(const char* text) {
    std::uint16_t port = 0;
    if (ServicePort(text, port)) {
        return port;
    }
    // atoi's reading, kept to the low 16 bits.
    return static_cast<std::uint16_t>(strtoll(text, nullptr, 10));
}

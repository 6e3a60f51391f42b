// SPDX-License-Identifier: Apache-2.0
// The settings' values from the environment.
#include "net/netsettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

// Reads a whole decimal number from the environment; false when absent or malformed.
bool EnvNumber(const char* name, unsigned long long max, unsigned long long& value) {
    const char* text = getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

NetSettings NetSettings::FromEnvironment() {
    NetSettings settings;
    unsigned long long value = 0;
    if (EnvNumber("ZOR_NET_DECODE_BUDGET", ULLONG_MAX, value) && value > 0) {
        settings.ullDecodeBudget = value;
    }
    if (EnvNumber("ZOR_NET_SERVER_DECODE_BUDGET", ULLONG_MAX, value) && value > 0) {
        settings.ullServerDecodeBudget = value;
    }
    if (EnvNumber("ZOR_NET_MAX_REFERENCE_DEPTH", INT16_MAX, value)) {
        settings.usMaxReferenceDepth = static_cast<std::uint16_t>(value);
    }
    if (EnvNumber("ZOR_NET_HANDSHAKE_TIMEOUT_MS", INT32_MAX, value)) {
        settings.lHandshakeTimeoutMs = static_cast<std::int32_t>(value);
    }
    if (EnvNumber("ZOR_NET_MAX_HANDSHAKES", UINT32_MAX, value)) {
        settings.ulMaxHandshakes = static_cast<std::uint32_t>(value);
    }
    if (EnvNumber("ZOR_NET_MAX_CONNECTIONS", UINT32_MAX, value)) {
        settings.ulMaxConnections = static_cast<std::uint32_t>(value);
    }
    if (EnvNumber("ZOR_NET_LISTEN_BACKLOG", INT32_MAX, value) && value > 0) {
        settings.lListenBacklog = static_cast<std::int32_t>(value);
    }
    if (EnvNumber("ZOR_NET_BATCH_INPUT_THREADS", 1, value)) {
        settings.bBatchInputThreads = value != 0;
    }
    if (const char* address = getenv("ZOR_NET_BIND_ADDRESS")) {
        in_addr parsed{};
        // Not an address: no port opens, rather than one reachable from everywhere.
        settings.ulBindAddress =
            inet_pton(AF_INET, address, &parsed) == 1 ? parsed.s_addr : INADDR_NONE;
    }
    return settings;
}

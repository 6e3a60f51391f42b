// SPDX-License-Identifier: Apache-2.0
// Socket options that the server's and the client's connections share.
#include "netsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void NetSetResetOnClose(int socket) {
    const linger now{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

bool NetSetNoDelay(int socket) {
    const int on = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

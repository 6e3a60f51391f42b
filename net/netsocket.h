// SPDX-License-Identifier: Apache-2.0
// Socket options that the server's and the client's connections share.
#pragma once

void NetSetResetOnClose(int socket);
// Any thread. Linger on with no time: closing the socket resets the connection at once instead
// of keeping it in TIME_WAIT. Failures are ignored: the connection works without it.

bool NetSetNoDelay(int socket);
// Any thread. TCP_NODELAY: each message goes out as soon as it is written. False when socket is
// no usable socket; otherwise a failure is ignored, as the connection works without it.

// SPDX-License-Identifier: Apache-2.0
// Port numbers from the services database, for the client, the server and the registry alike.
#pragma once

#include <cstdint>

std::uint16_t NetDefaultPort();
// Any thread. The "olmnet" entry's port, else 5001: the port when a client or a server is given
// none.

std::uint16_t NetPortFromText(const char* text);
// Any thread. The port part of "service:port": a services entry's port, else the text read as a
// decimal number kept to its low 16 bits ("65537" is port 1); 0 for neither.

// SPDX-License-Identifier: Apache-2.0
// How the zornet:: layer reports failures: by exception, everywhere in the layer.
//   zornet::Error            a status code of the protocol (netproto.h) and its text: a call or
//                            connection that failed, a registration the server refused, or (on
//                            request, Reply::Get) an answer whose status is not success
//   std::invalid_argument    a value that cannot travel (a list of mixed element types, ...)
//   std::logic_error         a call made in the wrong state (Run on a server without a loop)
//   std::bad_alloc           memory
// A handler that throws on the server side never reaches the library: its call is answered with
// the status Error carries, or kStatusHandlerFailed for any other exception.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "net/netexport.h"
#include "net/netproto.h"  // the status codes

namespace zornet {

constexpr std::int32_t kStatusHandlerFailed = NET_HANDLER_FAILED;
// The status of a call whose server-side handler threw something other than zornet::Error.

class ZORNET_API Error : public std::runtime_error {
public:
    explicit Error(std::int32_t status, const std::string& context = std::string());
    // what(): "<context>: status <n> (<text>)", without the context when none is given.

    std::int32_t Status() const noexcept { return m_status; }

private:
    std::int32_t m_status;
};

}  // namespace zornet

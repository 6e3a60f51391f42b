// SPDX-License-Identifier: Apache-2.0
#include "zornet/error.h"

#include "net/netproto.h"

namespace zornet {

namespace {

std::string Describe(std::int32_t status, const std::string& context) {
    std::string text = "status " + std::to_string(status) + " (" + NetStatusText(status) + ")";
    return context.empty() ? text : context + ": " + text;
}

}  // namespace

Error::Error(std::int32_t status, const std::string& context)
    : std::runtime_error(Describe(status, context)), m_status(status) {}

}  // namespace zornet

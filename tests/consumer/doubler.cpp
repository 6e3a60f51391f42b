// SPDX-License-Identifier: Apache-2.0
// The consumer's event object, in a file of its own so the program links across two units.
#include "net/net.h"

namespace {

class Doubler : public NetEvent {
public:
    NetEvent* Clone() override { return new Doubler; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        *value *= 2;
        flags |= NET_FLAG_RETURNDATA;
        return NET_OK;
    }
};

}  // namespace

NetEvent* MakeDoubler() {
    return new Doubler;
}

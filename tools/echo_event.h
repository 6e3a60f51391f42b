// SPDX-License-Identifier: Apache-2.0
// The echo behaviour of netecho's "echo" service, shared by the programs that serve it.
#pragma once

#include "net/net.h"

// Answers every call with its own value: integer, real and string calls come back with the
// return-data bit set; a user call's values always travel back, so nothing changes there. One
// object per connection (Clone), plus the registered prototype; all calls arrive on the main
// thread.
class EchoEvent : public NetEvent {
public:
    NetEvent* Clone() override { return new EchoEvent; }
    std::int32_t IntegerData(std::int32_t*, std::uint32_t& flags) override { return Echo(flags); }
    std::int32_t RealData(double*, std::uint32_t& flags) override { return Echo(flags); }
    std::int32_t StringData(char**, std::uint32_t& flags) override { return Echo(flags); }
    std::int32_t UserData(void*, std::uint32_t&) override { return NET_OK; }

private:
    static std::int32_t Echo(std::uint32_t& flags) {
        flags |= NET_FLAG_RETURNDATA;
        return NET_OK;
    }
};

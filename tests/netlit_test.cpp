// SPDX-License-Identifier: Apache-2.0
// The literal syntax of netcall: parse and print, errors, and values through the library. Its
// JSON and value blocks are checked through netcall in tools_test.
#include "netlit.h"

#include <gtest/gtest.h>

#include "net/net.h"
#include "testutil.h"

namespace {

using netlit::Lit;

// Canonical texts: each prints back exactly as written. Every type the wire carries is here.
const char kCanonical[] =
    "none true false -5 2147483647 -2147483648 1.5 -0.0 2000.0 1e+20 0.0001 inf -inf nan \"\" "
    "\"h\\\"i\\\\ \\n\\t\\r é 😀\" \"\\u0001\\xFF\" t12:30:05 d2024/1205 h7:42 h31:-1 "
    "[1, 2, 3 @2] [:int @0] [:h9 @0] [none, none @1] [\"a\", \"\" @0] [t01:02:03 @1] [1.5 @0] "
    "&&2.5 &[1 @1] &none [h8:1, h8:2 @1] [true, false @0] [d1/2 @1]";

std::vector<Lit> ParseOrFail(const std::string& text) {
    std::vector<Lit> values;
    netlit::ParseError error;
    EXPECT_TRUE(netlit::Parse(text, values, error)) << text << ": " << error.message;
    return values;
}

TEST(NetLitSyntax, CanonicalTextsPrintBackUnchanged) {
    const std::vector<Lit> values = ParseOrFail(kCanonical);
    EXPECT_EQ(values.size(), 34u);
    EXPECT_EQ(netlit::Print(values), kCanonical);
    for (const Lit& lit : values) {
        Lit one;
        netlit::ParseError error;
        EXPECT_TRUE(netlit::ParseOne(netlit::Print(lit), one, error)) << error.message;
        EXPECT_EQ(one, lit) << netlit::Print(lit);
    }
}

// Values separate by blanks or commas; each prints in its canonical form. Integers above
// 2147483647 are 32-bit patterns, in decimal as in hexadecimal.
TEST(NetLitSyntax, OtherSpellingsPrintCanonically) {
    EXPECT_EQ(netlit::Print(ParseOrFail(
                  "0x10 -0x80000000 0xFFFFFFFF 4294967295 2147483648 +7 2e3 .5 1.50 t1:2:3 "
                  "\"\\u00e9\\uD83D\\uDE00\" \"\\x41\\t\", [1,2 ]  [:int 1 @1],&none")),
              "16 -2147483648 -1 -1 -2147483648 7 2000.0 0.5 1.5 t01:02:03 \"é😀\" \"A\\t\" "
              "[1, 2 @0] [1 @1] &none");
    EXPECT_TRUE(ParseOrFail("   ").empty());
    // A real call's digits are a real: the sign of -0 and the range of a double hold.
    for (const auto& [text, expected] : {std::pair{"-0", -0.0}, {"4294967296", 4294967296.0}}) {
        double value = 0;
        netlit::ParseError error;
        EXPECT_TRUE(netlit::ParseReal(text, value, error)) << error.message;
        EXPECT_EQ(netlit::PrintReal(value), netlit::PrintReal(expected));
    }
}

TEST(NetLitSyntax, ErrorsNameThePosition) {
    struct Case {
        const char* text;
        std::size_t position;
        const char* message;
    };
    const Case cases[] = {
        {"[1, \"a\"]", 4, "every element"},
        {"1 \"abc", 2, "closing"},
        {"hello", 0, "double quotes"},
        {"4294967296", 0, "range"},
        {"-2147483649", 0, "range"},
        {"[1, 2 @3]", 7, "cursor"},
        {"[1 @-1]", 4, "cursor"},
        {"[:int @1]", 7, "cursor"},
        {"0x100000000", 0, "range"},
        {"t1:2:256", 5, "255"},
        {"d1-2", 2, "d<0..65535>"},
        {"[]", 0, "element type"},
        {"[[1]]", 1, "cannot be a list"},
        {"[&1]", 1, "reference"},
        {"h6:1", 1, "h7 to h31"},
        {"\"a\\uD800\"", 2, "surrogate"},
        {"\"a\\q\"", 2, "unknown escape"},
        {"\"\\x00\"", 1, "NUL"},
        {"1 2 ,", 5, "must follow"},
        {"1.5x", 3, "unexpected"},
        {"[1 2]", 3, "','"},
        {"[:text @0]", 2, "element type"},
        {"[1, none @1]", 4, "every element"},
    };
    for (const Case& c : cases) {
        std::vector<Lit> values;
        netlit::ParseError error;
        EXPECT_FALSE(netlit::Parse(c.text, values, error)) << c.text;
        EXPECT_EQ(error.position, c.position) << c.text << ": " << error.message;
        EXPECT_NE(error.message.find(c.message), std::string::npos)
            << c.text << ": " << error.message;
    }
    std::int32_t n = 0;
    netlit::ParseError error;
    EXPECT_FALSE(netlit::ParseInteger("1.5", n, error));
}

// Sends a literal with the library's value functions and reads it back as netcall does.
Lit ThroughTheWire(const Lit& sent, unsigned char unicode) {
    testutil::SocketPair pair;
    NetXDRImp xdr;
    netlit::ValueStore store;
    sL_VALUE out;
    store.Build(sent, out);
    EXPECT_GE(NET_SendVDXData(&xdr, &out, pair.a, unicode), 0);
    sL_VALUE in;
    EXPECT_EQ(NET_ReceiveVDXData(&xdr, &in, pair.b, unicode), 0);
    Lit received = netlit::FromValue(in);
    NET_DisposeVDXData(&in);  // a received list is the library's to release
    return received;
}

TEST(NetLitValues, EveryTypeCrossesTheWireInBothStringForms) {
    for (unsigned char unicode : {0, 1}) {
        for (Lit lit : ParseOrFail(kCanonical)) {
            const Lit back = ThroughTheWire(lit, unicode);
            const std::string text = netlit::Print(lit);
            if (lit.usType == NET_TYPE_STRING && lit.text.empty())
                lit = Lit();  // a string without text travels as no value at all
            if (unicode && lit.text == "\x01\xFF")
                lit.text = "\x01\xEF\xBF\xBD";  // not UTF-8
            EXPECT_EQ(netlit::Print(back), netlit::Print(lit)) << text << " unicode " << +unicode;
        }
    }
}

}  // namespace

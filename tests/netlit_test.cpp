// The literal syntax of netcall: parse and print, errors, JSON, and values through the library.
#include "netlit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "testutil.h"

namespace {

using netlit::Lit;

// Canonical texts: each prints back exactly as written. Every type the wire carries is here.
const char* const kCanonical[] = {
    "none",
    "true",
    "false",
    "-5",
    "2147483647",
    "-2147483648",
    "1.5",
    "-0.0",
    "2000.0",
    "1e+20",
    "0.0001",
    "inf",
    "-inf",
    "nan",
    "\"\"",
    "\"h\\\"i\\\\ \\n\\t\\r é 😀\"",
    "\"\\u0001\\xFF\"",
    "t12:30:05",
    "d2024/1205",
    "h7:42",
    "h31:-1",
    "[1, 2, 3 @2]",
    "[:int @0]",
    "[:h9 @0]",
    "[none, none @1]",
    "[\"a\", \"\" @0]",
    "[t01:02:03 @9]",
    "[1.5 @-1]",
    "&&2.5",
    "&[1 @1]",
    "&none",
    "[h8:1, h8:2 @1]",
    "[true, false @0]",
    "[d1/2 @1]",
};

Lit ParseOrFail(const std::string& text) {
    Lit lit;
    netlit::ParseError error;
    EXPECT_TRUE(netlit::ParseOne(text, lit, error)) << text << ": " << error.message;
    return lit;
}

TEST(NetLitSyntax, CanonicalTextsPrintBackUnchanged) {
    for (const char* text : kCanonical) {
        Lit lit = ParseOrFail(text);
        EXPECT_EQ(netlit::Print(lit), text);
        EXPECT_EQ(ParseOrFail(netlit::Print(lit)), lit) << text;
    }
}

TEST(NetLitSyntax, OtherSpellingsPrintCanonically) {
    const std::pair<const char*, const char*> cases[] = {
        {"0x10", "16"},
        {"-0x80000000", "-2147483648"},
        {"0xFFFFFFFF", "-1"},
        {"+7", "7"},
        {"2e3", "2000.0"},
        {".5", "0.5"},
        {"t1:2:3", "t01:02:03"},
        {"\"\\u00e9\\uD83D\\uDE00\"", "\"é😀\""},
        {"[1,2 ]", "[1, 2 @0]"},
        {"[:int 1 @1]", "[1 @1]"},
        {"\"\\x41\\t\"", "\"A\\t\""},
        {"1.50", "1.5"},
    };
    for (const auto& [input, printed] : cases)
        EXPECT_EQ(netlit::Print(ParseOrFail(input)), printed);
}

TEST(NetLitSyntax, SequencesSeparateByBlanksOrCommas) {
    std::vector<Lit> values;
    netlit::ParseError error;
    ASSERT_TRUE(netlit::Parse("1, 2.5 \"x y\"  [1 @1],&none", values, error)) << error.message;
    ASSERT_EQ(values.size(), 5u);
    EXPECT_EQ(netlit::Print(values), "1 2.5 \"x y\" [1 @1] &none");
    ASSERT_TRUE(netlit::Parse("   ", values, error));
    EXPECT_TRUE(values.empty());
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
        {"2147483648", 0, "range"},
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
    double d = 0;
    EXPECT_TRUE(netlit::ParseReal("3", d, error));
    EXPECT_EQ(d, 3.0);
}

TEST(NetLitJson, TypedObjects) {
    EXPECT_EQ(netlit::Json(ParseOrFail("[1 @1]")),
              "{\"type\":\"list\",\"of\":\"int\",\"cursor\":1,\"items\":[{\"type\":\"int\","
              "\"value\":1}]}");
    EXPECT_EQ(netlit::Json(ParseOrFail("&\"a\\x01\\xFF\"")),
              "{\"type\":\"string\",\"value\":\"a\\u0001\\ufffd\",\"depth\":1}");
    EXPECT_EQ(netlit::Json(ParseOrFail("-inf")), "{\"type\":\"real\",\"value\":\"-inf\"}");
    EXPECT_EQ(netlit::Json(ParseOrFail("h9:3")),
              "{\"type\":\"handle\",\"code\":32009,\"value\":3}");
    EXPECT_EQ(netlit::Json(ParseOrFail("t1:2:3")), "{\"type\":\"time\",\"value\":[1,2,3]}");
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
        for (const char* text : kCanonical) {
            Lit lit = ParseOrFail(text);
            Lit back = ThroughTheWire(lit, unicode);
            if (lit.usType == NET_TYPE_STRING && lit.text.empty()) {
                // A string without text travels as no value at all.
                EXPECT_EQ(netlit::Print(back), "none");
                continue;
            }
            if (lit.IsList() && lit.lCursor > static_cast<std::int32_t>(lit.items.size()))
                lit.lCursor = static_cast<std::int32_t>(lit.items.size());  // the receiver clamps
            if (lit.IsList() && lit.lCursor < 0)
                lit.lCursor = 0;
            if (unicode && lit.text == "\x01\xFF")
                lit.text = "\x01\xEF\xBF\xBD";  // not UTF-8
            EXPECT_EQ(netlit::Print(back), netlit::Print(lit)) << text << " unicode " << +unicode;
        }
    }
}

TEST(NetLitValues, BlocksHoldEveryValueInOrder) {
    std::vector<Lit> values;
    netlit::ParseError error;
    ASSERT_TRUE(netlit::Parse("1 \"two\" [3 @1] &4.5", values, error));
    netlit::ValueStore store;
    MSGUSERDATA* block = store.Block(values, 77);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->lCount, 4);
    EXPECT_EQ(block->usType, 77);
    EXPECT_EQ(netlit::Print(netlit::FromBlock(block)), "1 \"two\" [3 @1] &4.5");
    EXPECT_EQ(store.Block({}, 0), nullptr);
    EXPECT_TRUE(netlit::FromBlock(nullptr).empty());
}

}  // namespace

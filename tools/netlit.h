// SPDX-License-Identifier: Apache-2.0
// A text syntax for the typed values of user calls, shared by netcall and its tests.
//
//   none                  a value without value (type code 32000)
//   true  false           booleans
//   -5  0x10              integers, -2147483648 to 4294967295: above 2147483647 (and in
//                         hexadecimal, up to 0xFFFFFFFF) the 32-bit pattern, which the peer
//                         reads as signed: 4294967295 and 0xFFFFFFFF travel as -1
//   1.5  2e3  -0.0  inf  nan
//                         reals: a real has a '.' or an exponent, so 2 is an integer and 2.0 a real
//   "text"                strings: raw UTF-8, or the escapes \" \\ \n \t \r \uXXXX (a surrogate
//                         pair for characters above U+FFFF) and \xHH (one raw byte); no NUL
//   t12:30:05             a time: three components 0..255
//   d2024/1205            a date: its two 16-bit halves, 0..65535 each, as the peer gives them
//   h7:42                 a handle: type code 32007 (h7 to h31 for codes 32007 to 32031), number 42
//   [1, 2, 3 @2]          a list with its cursor on element 2 (@0 or no @: no current element;
//                         a cursor beyond the last element is an error);
//                         every element has the list's one type, and elements are not lists or
//                         references; "[:int @0]" is an empty list, its type named after the ':'
//                         (none, bool, int, real, string, time, date, h7 .. h31)
//   &&2.5                 a reference of depth 2 to the real 2.5 (any value but a list element)
//
// Several values are separated by blanks or commas. Print() gives text that Parse() reads back
// into an equal value. The string "" travels as a string without text, which a peer receives as
// none; an element of a list of strings that arrives without value prints as "".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/netmsg.h"
#include "net/netvalue.h"

namespace netlit {

// One value as text sees it: a tree that owns everything, free of the library's structures.
struct Lit {
    std::uint16_t usType = NET_TYPE_UNKNOWN;  // a value type code, or a list code 0..31
    std::int32_t lValue = 0;                  // boolean, integer, handle number
    double dValue = 0;
    std::string text;  // UTF-8 as received; may hold bytes that are not UTF-8
    TIMEREC time{};
    DATEREC date{};
    std::vector<Lit> items;  // list elements, each of type usType + 32000
    std::int32_t lCursor = 0;
    int depth = 0;  // references in front of the value

    bool IsList() const { return usType <= NET_TYPE_LIST_LAST; }
    bool operator==(const Lit& other) const;
    bool operator!=(const Lit& other) const { return !(*this == other); }
};

struct ParseError {
    std::size_t position = 0;  // byte offset into the text where the problem starts
    std::string message;
};

bool Parse(const std::string& text, std::vector<Lit>& values, ParseError& error);
// Reads a sequence of values; false with error set on the first problem.
bool ParseOne(const std::string& text, Lit& value, ParseError& error);
// Exactly one value.
bool ParseInteger(const std::string& text, std::int32_t& value, ParseError& error);
bool ParseReal(const std::string& text, double& value, ParseError& error);
// A real literal, or decimal digits taken as a real (-0 is -0.0).

std::string Print(const Lit& value);
std::string Print(const std::vector<Lit>& values);  // separated by one blank
std::string PrintString(const std::string& text);   // quoted and escaped
std::string PrintReal(double value);                // shortest text that reads back exactly

using Json = nlohmann::ordered_json;  // keys in the order written
Json ToJson(const Lit& value);        // {"type":"int","value":5}; inf and nan as strings
std::string Dump(const Json& json);   // one line; bytes that are not UTF-8 become U+FFFD
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));  // <256 bytes
std::string TypeName(std::uint16_t type);  // "int", "h7", ... ; lists "[int]"

// The library's form of values built from literals. Owns every list header, list element and
// reference link it made; the values themselves (reals, strings) own what sL_VALUE owns. Nothing
// here may be handed to NET_DisposeVDXData or UserCall(XDR_FREE). One thread at a time.
class ValueStore {
public:
    ValueStore() = default;
    ValueStore(const ValueStore&) = delete;
    ValueStore& operator=(const ValueStore&) = delete;

    void Build(const Lit& value, sL_VALUE& out);
    // Fills a constructed value; lists and links stay owned by this store.
    MSGUSERDATA* Block(const std::vector<Lit>& values, std::uint16_t type);
    // An argument block for a user call, owned by this store; null for no values.

private:
    void BuildPlain(const Lit& value, sL_VALUE& out);
    std::vector<std::unique_ptr<sL_VALUE>> m_links;
    std::vector<std::unique_ptr<sLIST_HEADER>> m_headers;
    std::vector<std::unique_ptr<sLIST_NODE>> m_nodes;
    std::vector<std::unique_ptr<sL_VALUE[]>> m_arrays;
    std::vector<std::unique_ptr<MSGUSERDATA>> m_blocks;
};

Lit FromValue(const sL_VALUE& value);
// Any thread. Reads a value as received (references, lists and elements without value included);
// the value is not changed.
std::vector<Lit> FromBlock(const MSGUSERDATA* block);  // no values for a null block

}  // namespace netlit

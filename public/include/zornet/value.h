// SPDX-License-Identifier: Apache-2.0
// zornet::Value: one typed value of a user call as a standard C++ value type, and its
// conversion to and from the library's records (sL_VALUE, MSGUSERDATA).
//
//   Value v = 42;                                  integer
//   Value w = Value::List{"a", "b"};               list of strings, no current element
//   Value r = Value::Reference(2.5, 2);            reference of depth 2 to the real 2.5
//   std::cout << w;                                ["a", "b" @0]
//
// A Value owns everything it holds; copies are deep and independent. Printing uses netcall's
// literal syntax, so a printed value can be pasted into netcall. One thread at a time per object.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "net/netmsg.h"
#include "net/netpack.h"
#include "net/netvalue.h"

namespace zornet {

class ZORNET_API Value {
public:
    using None = std::monostate;  // no value travels (type code 32000)

    struct Time {  // three components, 0..255 each, as the peer gives them
        std::uint8_t hour = 0, minute = 0, second = 0;
    };
    struct Date {  // two 16-bit halves, passed through without interpretation
        std::uint16_t first = 0, second = 0;
    };
    struct Handle {  // a handle number of an application-defined kind, type code 32007..32031
        std::int32_t number = 0;
        std::uint16_t type = NET_TYPE_HANDLE_FIRST;
    };

    // A list with a cursor. Every element has the list's element type (a type code 32000..32031)
    // or is none; elements are neither lists nor references.
    struct ZORNET_API List {
        List() = default;  // empty, of element type none
        List(std::initializer_list<Value> items, std::int32_t cursor = 0);
        // The element type is the first item's; none for no items.
        static List Of(std::uint16_t elementType, std::vector<Value> items = {},
                       std::int32_t cursor = 0);

        std::vector<Value> items;
        std::uint16_t elementType = NET_TYPE_UNKNOWN;
        std::int32_t cursor = 0;  // 1-based position of the current element, 0 for none
    };

    Value() = default;  // none
    Value(bool value) : m_data(value) {}
    Value(std::int32_t value) : m_data(value) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, std::int32_t>,
                                           int> = 0>
    Value(T value) : m_data(Narrow(value)) {}
    // Other integers travel as 32-bit integers; std::out_of_range beyond that range.
    Value(double value) : m_data(value) {}
    Value(const char* text);  // UTF-8; a null pointer is none
    Value(std::string text) : m_data(std::move(text)) {}
    Value(Time value) : m_data(value) {}
    Value(Date value) : m_data(value) {}
    Value(Handle value);  // std::invalid_argument for a type code outside 32007..32031
    Value(List value) : m_data(std::move(value)) {}

    static Value Reference(Value target, int depth = 1);
    // A reference chain of depth links in front of target (whose own depth adds to it);
    // std::invalid_argument when the total is not 1..32767.

    std::uint16_t TypeCode() const;
    // The code the value travels under: 32000..32031, or for a list its element type - 32000.
    // A reference has the code of its target.
    int Depth() const { return m_depth; }  // references in front of the data; 0 for plain data
    Value Target() const;                  // the data the references stand for

    bool IsNone() const { return Is<None>(); }
    template <typename T>
    bool Is() const {
        return std::holds_alternative<T>(m_data);
    }
    template <typename T>
    const T& As() const {
        return std::get<T>(m_data);
    }
    // Reads through references; std::bad_variant_access when the data is of another kind. T is
    // None, bool, std::int32_t, double, std::string, Time, Date, Handle or List.
    template <typename F>
    decltype(auto) Visit(F&& visitor) const {
        return std::visit(std::forward<F>(visitor), m_data);
    }
    // Calls visitor with the data as one of the types above.

    std::string Print() const;  // netcall's literal syntax

    bool operator==(const Value& other) const;
    // Same kind, depth and contents. Reals compare by value and sign, and every NaN equals
    // every NaN, so a value equals its printed-and-read-back self.
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    template <typename T>
    static std::int32_t Narrow(T value) {
        bool fits;
        if constexpr (std::is_signed_v<T>)
            fits = static_cast<long long>(value) >= std::numeric_limits<std::int32_t>::min() &&
                   static_cast<long long>(value) <= std::numeric_limits<std::int32_t>::max();
        else
            fits = static_cast<unsigned long long>(value) <=
                   static_cast<unsigned long long>(std::numeric_limits<std::int32_t>::max());
        if (!fits)
            throw std::out_of_range("zornet::Value: integer outside the 32-bit range");
        return static_cast<std::int32_t>(value);
    }

    std::variant<None, bool, std::int32_t, double, std::string, Time, Date, Handle, List> m_data;
    int m_depth = 0;
};

ZORNET_API std::ostream& operator<<(std::ostream& out, const Value& value);
ZORNET_API std::string Print(
    const std::vector<Value>& values);  // separated by one blank, as netcall does

// Conversion to and from the library's records. Any thread, one object at a time.
//
// Values the library receives differ from what was sent in two ways that the wire makes: an
// empty string travels as a string without text and arrives as none (as an element of a list
// of strings it reads back as ""), and a list's cursor arrives clamped to 0..count.

ZORNET_API Value FromWire(const sL_VALUE& value);
// Reads a value as the library holds it (references, lists, elements without value); the value
// is not changed and stays its owner's.
ZORNET_API std::vector<Value> FromWire(const MSGUSERDATA* block);  // no values for a null block

ZORNET_API void ToWire(const Value& value, sL_VALUE& out);
// Fills a constructed sL_VALUE in the form the library's decoder makes, so that
// NET_DisposeVDXData (or UserCall(XDR_FREE), for a block) releases all of it: reference links
// from calloc, list headers and elements from new. What out held is released first, as by
// NET_DisposeVDXData. std::invalid_argument, with nothing allocated, for a value that cannot
// travel: a list element of another type than the list's, a list or reference as an element.

struct ZORNET_API BlockDeleter {
    void operator()(MSGUSERDATA* block) const;  // UserCall(XDR_FREE), then the block is gone
};
using BlockPtr = std::unique_ptr<MSGUSERDATA, BlockDeleter>;

ZORNET_API BlockPtr ToBlock(const std::vector<Value>& values, std::uint16_t type = 0);
// An argument block for a user call, made as the decoder makes one (an empty block for no
// values). Exceptions as ToWire's.

ZORNET_API void Assign(MSGUSERDATA& block, const std::vector<Value>& values);
// Replaces the values of a block made by the library (a decoded one, or ToBlock's) in place:
// the new values are made first, then the old ones are released. On an exception the block
// is unchanged. Its type word and handle stay.

}  // namespace zornet

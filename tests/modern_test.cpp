// The zornet:: layer: values in the library's form and back, and their printing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zornet/value.h"

namespace {

using zornet::Value;
using List = Value::List;

struct Row {
    Value value;
    const char* printed;             // netcall's literal for it
    const char* received = nullptr;  // what a peer receives, when the wire changes it
};

const char kNotUtf8[] = "\"\\u0001\\xFF\"";

// Every kind of value the wire carries, each distinct from every other.
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {Value(), "none"},
        {true, "true"},
        {false, "false"},
        {-5, "-5"},
        {INT32_MIN, "-2147483648"},
        {1.5, "1.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {2000.0, "2000.0"},
        {1e20, "1e+20"},
        {NAN, "nan"},
        {-INFINITY, "-inf"},
        {"", "\"\"", "none"},
        {"h\"i\\ \n\t\r é 😀", "\"h\\\"i\\\\ \\n\\t\\r é 😀\""},
        {"\x01\xFF", kNotUtf8},
        {Value::Time{12, 30, 5}, "t12:30:05"},
        {Value::Date{2024, 1205}, "d2024/1205"},
        {Value::Handle{42}, "h7:42"},
        {Value::Handle{-1, NET_TYPE_HANDLE_LAST}, "h31:-1"},
        {List({1, 2, 3}, 2), "[1, 2, 3 @2]"},
        {List::Of(NET_TYPE_INTEGER), "[:int @0]"},
        {List::Of(NET_TYPE_HANDLE_FIRST + 2), "[:h9 @0]"},
        {List({Value(), Value()}, 1), "[none, none @1]"},
        {List{"a", ""}, "[\"a\", \"\" @0]"},
        {List({Value::Time{1, 2, 3}}, 9), "[t01:02:03 @9]", "[t01:02:03 @1]"},
        {List({1.5, Value()}, -1), "[1.5, none @-1]", "[1.5, none @0]"},
        {List{true, false}, "[true, false @0]"},
        {List{Value::Handle{1, 32008}, Value::Handle{2, 32008}}, "[h8:1, h8:2 @0]"},
        {Value::Reference(2.5, 2), "&&2.5"},
        {Value::Reference(List({1}, 1)), "&[1 @1]"},
        {Value::Reference(Value()), "&none"},
    };
    return rows;
}

std::vector<Value> RowValues() {
    std::vector<Value> values;
    for (const Row& row : Rows())
        values.push_back(row.value);
    return values;
}

TEST(ModernValue, PrintsAsNetcallAndSurvivesTheLibrarysForm) {
    const std::vector<Row>& rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].value.Print(), rows[i].printed);
        for (std::size_t j = 0; j < rows.size(); ++j)
            EXPECT_EQ(rows[i].value == rows[j].value, i == j) << rows[i].printed << rows[j].printed;
        sL_VALUE out;
        zornet::ToWire(rows[i].value, out);
        EXPECT_EQ(zornet::FromWire(out), rows[i].value) << rows[i].printed;
        NET_DisposeVDXData(&out);
    }
    // A block's values are replaced whole; the type word stays.
    zornet::BlockPtr block = zornet::ToBlock(RowValues(), 9);
    EXPECT_EQ(zornet::FromWire(block.get()), RowValues());
    zornet::Assign(*block, {Value(7)});
    EXPECT_EQ(zornet::Print(zornet::FromWire(block.get())), "7");
    EXPECT_EQ(block->usType, 9);
}

// Refused before anything is allocated: the target and the block stay as they were.
TEST(ModernValue, ValuesThatCannotTravelAreRefused) {
    const List refused[] = {List{1, "a"}, List{Value(List{1})}, List{1, Value::Reference(1)},
                            List{1, Value()}, List::Of(5)};
    for (const List& list : refused) {
        sL_VALUE out;
        zornet::ToWire(2.5, out);
        EXPECT_THROW(zornet::ToWire(list, out), std::invalid_argument) << Value(list);
        EXPECT_EQ(zornet::FromWire(out), Value(2.5));
        NET_DisposeVDXData(&out);
        zornet::BlockPtr block = zornet::ToBlock({"kept"});
        EXPECT_THROW(zornet::Assign(*block, {1, list}), std::invalid_argument);
        EXPECT_EQ(zornet::Print(zornet::FromWire(block.get())), "\"kept\"");
    }
    EXPECT_THROW(Value(Value::Handle{1, NET_TYPE_HANDLE_LAST + 1}), std::invalid_argument);
    EXPECT_THROW(Value::Reference(Value::Reference(1, 32767)), std::invalid_argument);
    EXPECT_THROW(Value(0x80000000u), std::out_of_range);
}

}  // namespace

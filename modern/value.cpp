// SPDX-License-Identifier: Apache-2.0
#include "zornet/value.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

#include "net/net_xdr.h"
#include "net/netpack.h"
#include "zo/zostring.h"

namespace zornet {

namespace {

constexpr int kMaxDepth = 0x7FFF;  // the wire's depth is a signed 16-bit count
constexpr std::size_t kMaxListWalk = std::size_t{1} << 26;  // guards against a cyclic chain
// Names of the value type codes from NET_TYPE_UNKNOWN on; handles are named h7 .. h31.
const char* const kTypeNames[] = {"none", "bool", "int", "real", "string", "time", "date"};
constexpr std::uint16_t kTypeNameCount = sizeof kTypeNames / sizeof kTypeNames[0];

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

bool IsHandle(std::uint16_t type) {
    return type >= NET_TYPE_HANDLE_FIRST && type <= NET_TYPE_HANDLE_LAST;
}

bool IsElementType(std::uint16_t type) {
    return type >= NET_TYPE_UNKNOWN && type <= NET_TYPE_HANDLE_LAST;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string TypeName(std::uint16_t type) {
    if (type >= NET_TYPE_UNKNOWN && type < NET_TYPE_UNKNOWN + kTypeNameCount)
        return kTypeNames[type - NET_TYPE_UNKNOWN];
    if (IsHandle(type))
        return "h" + std::to_string(type - NET_TYPE_UNKNOWN);
    return "type " + std::to_string(type);
}

// Length of the valid UTF-8 sequence at text[pos], or 0 when the byte there starts none.
std::size_t Utf8Length(const std::string& text, std::size_t pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t extra = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        extra = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
        extra = 2;
    else if (lead >= 0xF0 && lead <= 0xF4)
        extra = 3;
    else
        return 0;
    if (text.size() - pos <= extra)
        return 0;
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points above U+10FFFF are not UTF-8 either.
    const unsigned char next = byte(pos + 1);
    if ((lead == 0xE0 && next < 0xA0) || (lead == 0xED && next >= 0xA0) ||
        (lead == 0xF0 && next < 0x90) || (lead == 0xF4 && next >= 0x90))
        return 0;
    return extra + 1;
}

// Between double quotes; bytes that are not UTF-8 stay as they came, as \xHH.
std::string PrintString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t pos = 0; pos < text.size();) {
        const auto c = static_cast<unsigned char>(text[pos]);
        const std::size_t n = Utf8Length(text, pos);
        if (n == 0)
            out += Format("\\x%02X", c);
        else if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            out += Format("\\u%04X", c);
        else
            out.append(text, pos, n);
        pos += n == 0 ? 1 : n;
    }
    return out + "\"";
}

// The shortest digits that read back exactly, laid out as netcall lays them out: plain decimals
// while the point falls within 15 digits either side of the first (up to 4 zeros after it),
// an exponent beyond; always with a '.' or an exponent, so a real never reads back as an integer.
std::string PrintReal(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    if (value == 0)
        return std::signbit(value) ? "-0.0" : "0.0";
    std::string text;
    for (int precision = 0; precision <= 16; ++precision) {
        text = Format("%.*e", precision, std::fabs(value));
        if (std::strtod(text.c_str(), nullptr) == std::fabs(value))
            break;
    }
    const std::size_t e = text.find('e');
    std::string digits = text.substr(0, 1) + (e > 1 ? text.substr(2, e - 2) : "");
    const int point = std::atoi(text.c_str() + e + 1) + 1;  // digits before the decimal point
    const int count = static_cast<int>(digits.size());
    std::string out = value < 0 ? "-" : "";
    if (count <= point && point <= 15)
        return out + digits + std::string(static_cast<std::size_t>(point - count), '0') + ".0";
    if (0 < point && point <= 15)
        return out + digits.insert(static_cast<std::size_t>(point), ".");
    if (-4 < point && point <= 0)
        return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (count > 1)
        digits.insert(1, ".");
    return out + digits + Format("e%+03d", point - 1);
}

bool SameReal(double a, double b) {
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

std::string PrintPlain(const Value& value) {
    return value.Visit(Overloaded{
        [](Value::None) -> std::string { return "none"; },
        [](bool b) -> std::string { return b ? "true" : "false"; },
        [](std::int32_t n) { return std::to_string(n); },
        [](double d) { return PrintReal(d); },
        [](const std::string& text) { return PrintString(text); },
        [](const Value::Time& t) { return Format("t%02u:%02u:%02u", t.hour, t.minute, t.second); },
        [](const Value::Date& d) { return Format("d%u/%u", d.first, d.second); },
        [](const Value::Handle& h) {
            return Format("h%u:%" PRId32, h.type - NET_TYPE_UNKNOWN, h.number);
        },
        [](const Value::List& list) {
            std::string out = "[";
            if (list.items.empty())
                out += ":" + TypeName(list.elementType) + " ";
            for (std::size_t i = 0; i < list.items.size(); ++i)
                out += (i > 0 ? ", " : "") + list.items[i].Print();
            return out + (list.items.empty() ? "@" : " @") + std::to_string(list.cursor) + "]";
        },
    });
}

// Reading the library's form.

Value FromPlain(const sL_VALUE& value);

Value FromList(const sLIST_HEADER& header, std::uint16_t code) {
    Value::List list =
        Value::List::Of(static_cast<std::uint16_t>(code + NET_TYPE_UNKNOWN), {}, header.lCurrent);
    std::size_t walked = 0;
    for (const sLIST_NODE* node = header.pFirst; node != nullptr && walked < kMaxListWalk;
         node = node->pNext, ++walked) {
        Value item = FromPlain(*node);
        // An empty string travels as a string without text; keep the list's one type.
        if (list.elementType == NET_TYPE_STRING && item.IsNone())
            item = std::string();
        list.items.push_back(std::move(item));
    }
    return list;
}

// A value that holds its data itself (no reference at its head).
Value FromPlain(const sL_VALUE& value) {
    if (!value.fValid)
        return Value();
    const std::uint16_t type = value.usType;
    if (type <= NET_TYPE_LIST_LAST)
        return value.data.pList != nullptr ? Value(FromList(*value.data.pList, type)) : Value();
    switch (type) {
        case NET_TYPE_BOOLEAN:
            return value.data.lValue != 0;
        case NET_TYPE_INTEGER:
            return value.data.lValue;
        case NET_TYPE_REAL:
            return value.data.pdValue != nullptr ? Value(*value.data.pdValue) : Value();
        case NET_TYPE_STRING: {
            const ZoString* text = value.data.pString;
            return std::string(text != nullptr && text->mbcs() != nullptr ? text->mbcs() : "");
        }
        case NET_TYPE_TIME: {
            const unsigned char* c = value.data.time.ucComponent;
            return Value::Time{c[0], c[1], c[2]};
        }
        case NET_TYPE_DATE:
            return Value::Date{value.data.date.usHalf[0], value.data.date.usHalf[1]};
        default:
            break;
    }
    return IsHandle(type) ? Value(Value::Handle{value.data.lValue, type}) : Value();
}

// Making the library's form. Check comes first, so a value that cannot travel allocates
// nothing; Build then fails only for memory, and every part it made is already linked where
// NET_DisposeVDXData finds it.

void Check(const Value& value) {
    const Value::List* list = value.Is<Value::List>() ? &value.As<Value::List>() : nullptr;
    if (list == nullptr)
        return;
    if (!IsElementType(list->elementType))
        throw std::invalid_argument("zornet::Value: a list's element type is 32000..32031");
    // Only these element types send a missing value as such; the others would send a zero.
    const bool noneTravels = list->elementType == NET_TYPE_UNKNOWN ||
                             list->elementType == NET_TYPE_REAL ||
                             list->elementType == NET_TYPE_STRING;
    for (const Value& item : list->items) {
        if (item.Depth() != 0 || item.Is<Value::List>())
            throw std::invalid_argument("zornet::Value: a list element is a list or reference");
        if (item.TypeCode() != list->elementType && !(item.IsNone() && noneTravels))
            throw std::invalid_argument("zornet::Value: every element of a list of " +
                                        TypeName(list->elementType) + " must be of that type");
    }
}

template <typename T>
T* Allocate(T* made) {
    if (made == nullptr)
        throw std::bad_alloc();
    return made;
}

void SetHeader(sL_VALUE& out, std::uint16_t type, unsigned char kind) {
    out.usType = type;
    out.kind = kind;
    out.fSpare10 = out.fSpare20 = out.fReference = 0;
    out.fValid = 1;
}

void BuildPlain(const Value& value, sL_VALUE& out);

void BuildList(const Value::List& list, sL_VALUE& out) {
    auto* header = new sLIST_HEADER{};
    out.data.pList = header;
    SetHeader(out, static_cast<std::uint16_t>(list.elementType - NET_TYPE_UNKNOWN), NET_KIND_NONE);
    for (const Value& item : list.items) {
        auto* node = new sLIST_NODE();
        node->pPrev = header->pLast;
        (header->pLast != nullptr ? header->pLast->pNext : header->pFirst) = node;
        header->pLast = node;
        if (++header->lCount == list.cursor)
            header->pCurrent = node;
        BuildPlain(item, *node);
        // A missing element keeps the list's type: the sender takes it from the first element.
        node->usType = list.elementType;
    }
    header->lCurrent = list.cursor;
}

// Fills an sL_VALUE that holds nothing.
void BuildPlain(const Value& value, sL_VALUE& out) {
    out.data = {};
    value.Visit(Overloaded{
        [&](Value::None) {
            SetHeader(out, NET_TYPE_UNKNOWN, NET_KIND_NONE);
            out.fValid = 0;
        },
        [&](bool b) {
            out.data.lValue = b ? 1 : 0;
            SetHeader(out, NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN);
        },
        [&](std::int32_t n) {
            out.data.lValue = n;
            SetHeader(out, NET_TYPE_INTEGER, NET_KIND_INTEGER);
        },
        [&](double d) {
            out.data.pdValue = new double(d);
            SetHeader(out, NET_TYPE_REAL, NET_KIND_REAL);
        },
        [&](const std::string& text) {
            out.data.pString = new ZoString(text.c_str());
            SetHeader(out, NET_TYPE_STRING, NET_KIND_STRING);
        },
        [&](const Value::Time& t) {
            out.data.time = TIMEREC{{t.hour, t.minute, t.second, 0}};
            SetHeader(out, NET_TYPE_TIME, NET_KIND_TIME);
        },
        [&](const Value::Date& d) {
            out.data.date = DATEREC{{d.first, d.second}};
            SetHeader(out, NET_TYPE_DATE, NET_KIND_DATE);
        },
        [&](const Value::Handle& h) {
            out.data.lValue = h.number;
            SetHeader(out, h.type, NET_KIND_HANDLE);
        },
        [&](const Value::List& list) { BuildList(list, out); },
    });
}

// Reference links as the receiver makes them: zeroed with calloc, released with free.
void Build(const Value& value, sL_VALUE& out) {
    sL_VALUE* target = &out;
    for (int i = 0; i < value.Depth(); ++i) {
        auto* link = new (Allocate(std::calloc(1, sizeof(sL_VALUE)))) sL_VALUE();
        target->data = {};
        target->data.pReference = link;
        SetHeader(*target, value.TypeCode(), NET_KIND_NONE);
        target->fReference = 1;
        target = link;
    }
    BuildPlain(value, *target);
}

// An array as the decoder makes one (new[]), or null for no values.
sL_VALUE* BuildArray(const std::vector<Value>& values) {
    for (const Value& value : values)
        Check(value);
    if (values.empty())
        return nullptr;
    std::unique_ptr<sL_VALUE[]> array(new sL_VALUE[values.size()]);
    std::size_t built = 0;
    try {
        for (; built < values.size(); ++built)
            Build(values[built], array[built]);
    } catch (...) {
        for (std::size_t i = 0; i <= built && i < values.size(); ++i)
            NET_DisposeVDXData(&array[i]);
        throw;
    }
    return array.release();
}

}  // namespace

Value::List::List(std::initializer_list<Value> values, std::int32_t position)
    : items(values),
      elementType(values.size() > 0 ? values.begin()->TypeCode() : std::uint16_t{NET_TYPE_UNKNOWN}),
      cursor(position) {}

Value::List Value::List::Of(std::uint16_t type, std::vector<Value> values, std::int32_t position) {
    List list;
    list.items = std::move(values);
    list.elementType = type;
    list.cursor = position;
    return list;
}

Value::Value(const char* text) {
    if (text != nullptr)
        m_data = std::string(text);
}

Value::Value(Handle value) : m_data(value) {
    if (!IsHandle(value.type))
        throw std::invalid_argument("zornet::Value: a handle's type code is 32007..32031");
}

Value Value::Reference(Value target, int depth) {
    if (depth < 1 || depth > kMaxDepth - target.m_depth)
        throw std::invalid_argument("zornet::Value: a reference is 1 to 32767 deep");
    target.m_depth += depth;
    return target;
}

std::uint16_t Value::TypeCode() const {
    using Code = std::uint16_t;
    return Visit(Overloaded{
        [](None) -> Code { return NET_TYPE_UNKNOWN; },
        [](bool) -> Code { return NET_TYPE_BOOLEAN; },
        [](std::int32_t) -> Code { return NET_TYPE_INTEGER; },
        [](double) -> Code { return NET_TYPE_REAL; },
        [](const std::string&) -> Code { return NET_TYPE_STRING; },
        [](const Time&) -> Code { return NET_TYPE_TIME; },
        [](const Date&) -> Code { return NET_TYPE_DATE; },
        [](const Handle& h) -> Code { return h.type; },
        [](const List& l) -> Code { return static_cast<Code>(l.elementType - NET_TYPE_UNKNOWN); },
    });
}

Value Value::Target() const {
    Value plain = *this;
    plain.m_depth = 0;
    return plain;
}

std::string Value::Print() const {
    return std::string(static_cast<std::size_t>(m_depth), '&') + PrintPlain(*this);
}

bool Value::operator==(const Value& other) const {
    if (m_depth != other.m_depth || m_data.index() != other.m_data.index())
        return false;
    return Visit([&](const auto& mine) {
        using T = std::decay_t<decltype(mine)>;
        const T& theirs = std::get<T>(other.m_data);
        if constexpr (std::is_same_v<T, double>) {
            return SameReal(mine, theirs);
        } else if constexpr (std::is_same_v<T, Time>) {
            return mine.hour == theirs.hour && mine.minute == theirs.minute &&
                   mine.second == theirs.second;
        } else if constexpr (std::is_same_v<T, Date>) {
            return mine.first == theirs.first && mine.second == theirs.second;
        } else if constexpr (std::is_same_v<T, Handle>) {
            return mine.number == theirs.number && mine.type == theirs.type;
        } else if constexpr (std::is_same_v<T, List>) {
            return mine.elementType == theirs.elementType && mine.cursor == theirs.cursor &&
                   mine.items == theirs.items;
        } else {
            return mine == theirs;
        }
    });
}

std::ostream& operator<<(std::ostream& out, const Value& value) {
    return out << value.Print();
}

std::string Print(const std::vector<Value>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i > 0 ? " " : "") + values[i].Print();
    return out;
}

Value FromWire(const sL_VALUE& value) {
    int depth = 0;
    const sL_VALUE* at = &value;
    while (at->fValid && at->fReference && at->data.pReference != nullptr && depth < kMaxDepth) {
        ++depth;
        at = at->data.pReference;
    }
    Value plain = FromPlain(*at);
    return depth > 0 ? Value::Reference(std::move(plain), depth) : plain;
}

std::vector<Value> FromWire(const MSGUSERDATA* block) {
    std::vector<Value> values;
    if (block == nullptr || block->pValues == nullptr)
        return values;
    values.reserve(static_cast<std::size_t>(std::max<std::int32_t>(block->lCount, 0)));
    for (std::int32_t i = 0; i < block->lCount; ++i)
        values.push_back(FromWire(block->pValues[i]));
    return values;
}

void ToWire(const Value& value, sL_VALUE& out) {
    Check(value);
    NET_DisposeVDXData(&out);
    try {
        Build(value, out);
    } catch (...) {
        NET_DisposeVDXData(&out);
        throw;
    }
}

void BlockDeleter::operator()(MSGUSERDATA* block) const {
    MSGUSERCALL call{};
    call.pData = block;
    NetXDRImp().UserCall(-1, XDR_FREE, call, 0);
}

BlockPtr ToBlock(const std::vector<Value>& values, std::uint16_t type) {
    BlockPtr block(new MSGUSERDATA{});
    block->usType = type;
    block->pValues = BuildArray(values);
    block->lCount = static_cast<std::int32_t>(values.size());
    return block;
}

void Assign(MSGUSERDATA& block, const std::vector<Value>& values) {
    sL_VALUE* fresh = BuildArray(values);
    for (std::int32_t i = 0; block.pValues != nullptr && i < block.lCount; ++i)
        NET_DisposeVDXData(&block.pValues[i]);
    delete[] block.pValues;
    block.pValues = fresh;
    block.lCount = static_cast<std::int32_t>(values.size());
}

}  // namespace zornet

// SPDX-License-Identifier: Apache-2.0
#include "netlit.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zo/zostring.h"
#include "zornet/value.h"

namespace netlit {

namespace {

constexpr std::uint16_t kHandleIndexFirst = NET_TYPE_HANDLE_FIRST - NET_TYPE_UNKNOWN;  // 7
constexpr std::uint16_t kHandleIndexLast = NET_TYPE_HANDLE_LAST - NET_TYPE_UNKNOWN;    // 31
constexpr int kMaxDepth = 0x7FFF;  // the wire's depth is a signed 16-bit count
constexpr std::size_t kMaxListWalk = std::size_t{1} << 26;  // guards against a cyclic chain
const char kIntegerRange[] = "integer out of the 32-bit range (-2147483648 to 4294967295)";
// Names of the value type codes from NET_TYPE_UNKNOWN on; handles are named h7 .. h31.
const char* const kTypeNames[] = {"none", "bool", "int", "real", "string", "time", "date"};
constexpr std::uint16_t kTypeNameCount = sizeof kTypeNames / sizeof kTypeNames[0];

bool IsHandle(std::uint16_t type) {
    return type >= NET_TYPE_HANDLE_FIRST && type <= NET_TYPE_HANDLE_LAST;
}

bool IsDelimiter(char c) {
    return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ']' ||
           c == '@';
}

int HexDigit(char c) {
    const int lower = c | 0x20;  // 'A' to 'a'; digits keep their value
    return c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// A recursive-descent reader over one text. Every failure records the first problem and its
// position; callers stop at the first false.
class Parser {
public:
    Parser(const std::string& text, ParseError& error) : m_text(text), m_error(error) {}

    bool Sequence(std::vector<Lit>& values) {
        SkipBlanks();
        while (!AtEnd()) {
            Lit value;
            if (!Value(value, false))
                return false;
            values.push_back(std::move(value));
            SkipBlanks();
            if (Peek() == ',') {
                ++m_pos;
                SkipBlanks();
                if (AtEnd())
                    return Fail("a value must follow ','");
            }
        }
        return true;
    }

    bool Single(Lit& value) {
        return Whole([&] { return AtEnd() ? Fail("a value is missing") : Value(value, false); },
                     "value");
    }

    bool Integer(std::int32_t& value) {
        return Whole([&] { return IntegerNumber(value, "an integer is expected"); }, "integer");
    }

    bool Real(double& value) {
        Lit lit;  // hexadecimal is read as an integer, whose value is taken
        if (!Whole([&] { return Number(lit, true); }, "real"))
            return false;
        value = lit.usType == NET_TYPE_INTEGER ? lit.lValue : lit.dValue;
        return true;
    }

private:
    char Peek(std::size_t ahead = 0) const {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0';
    }
    bool AtEnd() const { return m_pos >= m_text.size(); }
    bool AtDigit(std::size_t ahead = 0) const { return Peek(ahead) >= '0' && Peek(ahead) <= '9'; }
    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
            ++m_pos;
    }
    bool FailAt(std::size_t position, const std::string& message) {
        m_error.position = position;
        m_error.message = message;
        return false;
    }
    bool Fail(const std::string& message) { return FailAt(m_pos, message); }
    // The whole text, blanks aside, is the one item that read() takes; what names it.
    template <typename Read>
    bool Whole(Read read, const char* what) {
        SkipBlanks();
        if (!read())
            return false;
        SkipBlanks();
        return AtEnd() || Fail(std::string("unexpected text after the ") + what);
    }
    bool Word(const char* word) {
        std::size_t n = std::strlen(word);
        if (m_text.compare(m_pos, n, word) != 0 || !IsDelimiter(Peek(n)))
            return false;
        m_pos += n;
        return true;
    }

    bool Value(Lit& value, bool inList) {
        std::size_t start = m_pos;
        while (Peek() == '&') {
            ++value.depth;
            ++m_pos;
        }
        if (value.depth > 0 && inList)
            return FailAt(start, "a list element cannot be a reference");
        if (value.depth > kMaxDepth)
            return FailAt(start, "a reference is at most 32767 deep");
        char c = Peek();
        if (c == '[') {
            if (inList)
                return Fail("a list element cannot be a list");
            return List(value);
        }
        if (c == '"')
            return String(value);
        if ((c == 't' || c == 'd' || c == 'h') && AtDigit(1)) {
            return c == 't' ? Time(value) : c == 'd' ? Date(value) : Handle(value);
        }
        if (Word("none"))
            return Set(value, NET_TYPE_UNKNOWN);
        if (Word("true") || Word("false")) {
            value.lValue = m_text[start + static_cast<std::size_t>(value.depth)] == 't' ? 1 : 0;
            return Set(value, NET_TYPE_BOOLEAN);
        }
        if (c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9') || Word("inf") ||
            Word("nan")) {
            m_pos = start + static_cast<std::size_t>(value.depth);
            return Number(value);
        }
        if (AtEnd())
            return Fail("a value is missing");
        return Fail("not a value (strings need double quotes, e.g. \"text\")");
    }

    static bool Set(Lit& value, std::uint16_t type) {
        value.usType = type;
        return true;
    }

    // asReal: decimal digits make a real even without '.' or exponent (-0 stays negative).
    bool Number(Lit& value, bool asReal = false) {
        std::size_t start = m_pos;
        bool negative = Peek() == '-';
        if (Peek() == '-' || Peek() == '+')
            ++m_pos;
        if (Word("inf") || Word("nan")) {
            bool inf = m_text[m_pos - 1] == 'f';
            value.dValue = inf ? HUGE_VAL : std::nan("");
            if (negative)
                value.dValue = -value.dValue;
            return Set(value, NET_TYPE_REAL);
        }
        if (Peek() == '0' && (Peek(1) == 'x' || Peek(1) == 'X'))
            return Hex(value, start, negative);
        std::size_t digits = 0;
        bool real = asReal;
        for (; AtDigit(); ++m_pos)
            ++digits;
        if (Peek() == '.') {
            real = true;
            for (++m_pos; AtDigit(); ++m_pos)
                ++digits;
        }
        if (digits == 0)
            return FailAt(start, "not a number");
        if (Peek() == 'e' || Peek() == 'E') {
            real = true;
            ++m_pos;
            if (Peek() == '-' || Peek() == '+')
                ++m_pos;
            if (!AtDigit())
                return Fail("the exponent needs digits");
            while (AtDigit())
                ++m_pos;
        }
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character in a number");
        std::string token = m_text.substr(start, m_pos - start);
        errno = 0;
        if (real) {
            value.dValue = std::strtod(token.c_str(), nullptr);
            if (errno == ERANGE && std::isinf(value.dValue))
                return FailAt(start, "real out of range");
            return Set(value, NET_TYPE_REAL);
        }
        long long n = std::strtoll(token.c_str(), nullptr, 10);
        if (errno == ERANGE || n < INT32_MIN || n > UINT32_MAX)
            return FailAt(start, kIntegerRange);
        return SetBits(value, static_cast<std::uint32_t>(n));
    }

    // Above 2147483647 an integer travels as its 32-bit pattern, as the peer reads it.
    static bool SetBits(Lit& value, std::uint32_t bits) {
        std::memcpy(&value.lValue, &bits, sizeof bits);
        return Set(value, NET_TYPE_INTEGER);
    }

    // A number that must be an integer; message says so where it is not.
    bool IntegerNumber(std::int32_t& out, const char* message) {
        std::size_t start = m_pos;
        Lit lit;
        if (!Number(lit))
            return false;
        if (lit.usType != NET_TYPE_INTEGER)
            return FailAt(start, message);
        out = lit.lValue;
        return true;
    }

    // Hexadecimal gives the 32-bit pattern; a minus sign negates it.
    bool Hex(Lit& value, std::size_t start, bool negative) {
        m_pos += 2;
        std::uint64_t n = 0;
        std::size_t digits = 0;
        for (int d; (d = HexDigit(Peek())) >= 0; ++m_pos, ++digits) {
            n = n * 16 + static_cast<std::uint64_t>(d);
            if (n > 0xFFFFFFFFull)
                return FailAt(start, kIntegerRange);
        }
        if (digits == 0)
            return Fail("hexadecimal digits expected");
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character in a number");
        if (negative && n > 0x80000000ull)
            return FailAt(start, kIntegerRange);
        return SetBits(value, static_cast<std::uint32_t>(negative ? (0 - n) : n));
    }

    // An unsigned decimal component of a time, date or handle, at most max.
    bool Component(std::uint32_t max, std::uint32_t& out) {
        std::size_t start = m_pos;
        std::uint64_t n = 0;
        if (!AtDigit())
            return Fail("digits expected");
        for (; AtDigit(); ++m_pos) {
            n = n * 10 + static_cast<std::uint64_t>(Peek() - '0');
            if (n > max)
                return FailAt(start, "number above " + std::to_string(max));
        }
        out = static_cast<std::uint32_t>(n);
        return true;
    }

    bool Expect(char c, const char* what) {
        if (Peek() != c)
            return Fail(what);
        ++m_pos;
        return true;
    }

    bool Time(Lit& value) {
        ++m_pos;
        for (int i = 0; i < 3; ++i) {
            std::uint32_t n = 0;
            if (i > 0 && !Expect(':', "a time is t<0..255>:<0..255>:<0..255>"))
                return false;
            if (!Component(255, n))
                return false;
            value.time.ucComponent[i] = static_cast<unsigned char>(n);
        }
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character after the time");
        return Set(value, NET_TYPE_TIME);
    }

    bool Date(Lit& value) {
        ++m_pos;
        std::uint32_t first = 0, second = 0;
        if (!Component(65535, first) || !Expect('/', "a date is d<0..65535>/<0..65535>") ||
            !Component(65535, second))
            return false;
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character after the date");
        value.date.usHalf[0] = static_cast<std::uint16_t>(first);
        value.date.usHalf[1] = static_cast<std::uint16_t>(second);
        return Set(value, NET_TYPE_DATE);
    }

    bool Handle(Lit& value) {
        ++m_pos;
        std::size_t start = m_pos;
        std::uint32_t index = 0;
        if (!Component(kHandleIndexLast, index))
            return false;
        if (index < kHandleIndexFirst)
            return FailAt(start, "handle types are h7 to h31");
        if (!Expect(':', "a handle is h<7..31>:<number>"))
            return false;
        if (!IntegerNumber(value.lValue, "a handle number is an integer"))
            return false;
        return Set(value, static_cast<std::uint16_t>(NET_TYPE_UNKNOWN + index));
    }

    bool String(Lit& value) {
        std::size_t start = m_pos++;
        std::string out;
        for (;;) {
            if (AtEnd())
                return FailAt(start, "the string has no closing '\"'");
            char c = m_text[m_pos];
            if (c == '"')
                break;
            if (c == '\0')
                return Fail("a string cannot hold a NUL character");
            if (c != '\\') {
                out += c;
                ++m_pos;
                continue;
            }
            if (!Escape(out))
                return false;
        }
        ++m_pos;
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character after the string");
        value.text = std::move(out);
        return Set(value, NET_TYPE_STRING);
    }

    bool Hex4(std::uint32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            int d = HexDigit(Peek(static_cast<std::size_t>(i)));
            if (d < 0)
                return Fail("\\u needs four hexadecimal digits");
            unit = unit * 16 + static_cast<std::uint32_t>(d);
        }
        m_pos += 4;
        return true;
    }

    bool Escape(std::string& out) {
        std::size_t start = m_pos;
        char c = Peek(1);
        m_pos += 2;
        static const char kSimple[][2] = {
            {'"', '"'}, {'\\', '\\'}, {'n', '\n'}, {'t', '\t'}, {'r', '\r'}};
        for (const auto& escape : kSimple) {
            if (c == escape[0]) {
                out += escape[1];
                return true;
            }
        }
        switch (c) {
            case 'x': {
                int hi = HexDigit(Peek()), lo = HexDigit(Peek(1));
                if (hi < 0 || lo < 0)
                    return Fail("\\x needs two hexadecimal digits");
                if (hi == 0 && lo == 0)
                    return FailAt(start, "a string cannot hold a NUL character");
                out += static_cast<char>(hi * 16 + lo);
                m_pos += 2;
                return true;
            }
            case 'u':
                return Unicode(start, out);
            default:
                return FailAt(start, "unknown escape (use \\\" \\\\ \\n \\t \\r \\uXXXX \\xHH)");
        }
    }

    // A surrogate pair must be whole; ZoString turns the UTF-16 units into UTF-8.
    bool Unicode(std::size_t start, std::string& out) {
        std::uint32_t high = 0, low = 0;
        if (!Hex4(high))
            return false;
        if (high >= 0xDC00 && high <= 0xDFFF)
            return FailAt(start, "unpaired low surrogate");
        if (high >= 0xD800 && high <= 0xDBFF) {
            if (Peek() != '\\' || Peek(1) != 'u')
                return FailAt(start, "unpaired high surrogate");
            m_pos += 2;
            if (!Hex4(low))
                return false;
            if (low < 0xDC00 || low > 0xDFFF)
                return FailAt(start, "unpaired high surrogate");
        }
        if (high == 0)
            return FailAt(start, "a string cannot hold a NUL character");
        const unsigned short units[] = {static_cast<unsigned short>(high),
                                        static_cast<unsigned short>(low), 0};
        ZoString text;
        text.UnicodeImport(units);
        out += text.mbcs();
        return true;
    }

    bool TypeWord(std::uint16_t& type) {
        for (std::uint16_t i = 0; i < kTypeNameCount; ++i) {
            if (Word(kTypeNames[i])) {
                type = static_cast<std::uint16_t>(NET_TYPE_UNKNOWN + i);
                return true;
            }
        }
        std::uint32_t index = 0;
        std::size_t start = m_pos;
        if (Peek() == 'h' && (++m_pos, Component(kHandleIndexLast, index)) &&
            index >= kHandleIndexFirst && IsDelimiter(Peek())) {
            type = static_cast<std::uint16_t>(NET_TYPE_UNKNOWN + index);
            return true;
        }
        return FailAt(start, "element type expected: none bool int real string time date h7..h31");
    }

    bool List(Lit& value) {
        std::size_t start = m_pos++;
        bool typed = false;
        std::uint16_t element = NET_TYPE_UNKNOWN;
        SkipBlanks();
        if (Peek() == ':') {
            ++m_pos;
            if (!TypeWord(element))
                return false;
            typed = true;
            SkipBlanks();
        }
        while (Peek() != '@' && Peek() != ']') {
            if (!value.items.empty() && !Expect(',', "',' or '@' or ']' expected in the list"))
                return false;
            SkipBlanks();
            std::size_t at = m_pos;
            Lit item;
            if (!Value(item, true))
                return false;
            if (!typed) {
                element = item.usType;
                typed = true;
            } else if (item.usType != element) {
                return FailAt(at, "every element of a list of " + TypeName(element) +
                                      " must be of that type");
            }
            value.items.push_back(std::move(item));
            SkipBlanks();
        }
        if (Peek() == '@') {
            ++m_pos;
            SkipBlanks();
            const std::size_t at = m_pos, count = value.items.size();
            if (!IntegerNumber(value.lCursor, "the cursor is an integer"))
                return false;
            if (value.lCursor < 0 || static_cast<std::size_t>(value.lCursor) > count)
                return FailAt(at, "the cursor is 0 (none) or an element's position, 1 to " +
                                      std::to_string(count));
            SkipBlanks();
        }
        if (!Expect(']', "']' expected at the end of the list"))
            return false;
        if (!typed)
            return FailAt(start, "an empty list needs its element type, e.g. [:int @0]");
        if (!IsDelimiter(Peek()))
            return Fail("unexpected character after the list");
        return Set(value, static_cast<std::uint16_t>(element - NET_TYPE_UNKNOWN));
    }

    const std::string& m_text;
    ParseError& m_error;
    std::size_t m_pos = 0;
};

bool SameReal(double a, double b) {
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

std::string PrintPlain(const Lit& value) {
    switch (value.usType) {
        case NET_TYPE_UNKNOWN:
            return "none";
        case NET_TYPE_BOOLEAN:
            return value.lValue != 0 ? "true" : "false";
        case NET_TYPE_INTEGER:
            return std::to_string(value.lValue);
        case NET_TYPE_REAL:
            return PrintReal(value.dValue);
        case NET_TYPE_STRING:
            return PrintString(value.text);
        case NET_TYPE_TIME:
            return Format("t%02u:%02u:%02u", value.time.ucComponent[0], value.time.ucComponent[1],
                          value.time.ucComponent[2]);
        case NET_TYPE_DATE:
            return Format("d%u/%u", value.date.usHalf[0], value.date.usHalf[1]);
        default:
            break;
    }
    if (IsHandle(value.usType))
        return Format("h%u:%" PRId32, value.usType - NET_TYPE_UNKNOWN, value.lValue);
    std::string out = "[";
    if (value.items.empty())
        out += ":" + TypeName(value.usType + NET_TYPE_UNKNOWN) + " ";
    for (std::size_t i = 0; i < value.items.size(); ++i) {
        out += (i > 0 ? ", " : "") + PrintPlain(value.items[i]);
    }
    return out + (value.items.empty() ? "@" : " @") + std::to_string(value.lCursor) + "]";
}

// The "value" of a value that has one and is not a list.
Json JsonValue(const Lit& value) {
    switch (value.usType) {
        case NET_TYPE_BOOLEAN:
            return value.lValue != 0;
        case NET_TYPE_REAL:  // JSON has no infinities or NaN: those go as the literal's text
            return std::isfinite(value.dValue) ? Json(value.dValue) : Json(PrintReal(value.dValue));
        case NET_TYPE_STRING:
            return value.text;
        case NET_TYPE_TIME:
            return {value.time.ucComponent[0], value.time.ucComponent[1],
                    value.time.ucComponent[2]};
        case NET_TYPE_DATE:
            return {value.date.usHalf[0], value.date.usHalf[1]};
        default:
            return value.lValue;  // an integer or a handle number
    }
}

// Reads a value that holds data itself (no reference at its head).
void FillPlain(const sL_VALUE& value, Lit& lit);

void FillList(const sLIST_HEADER& header, std::uint16_t code, Lit& lit) {
    lit.usType = code;
    lit.lCursor = header.lCurrent;
    auto element = static_cast<std::uint16_t>(code + NET_TYPE_UNKNOWN);
    std::size_t walked = 0;
    for (const sLIST_NODE* node = header.pFirst; node != nullptr && walked < kMaxListWalk;
         node = node->pNext, ++walked) {
        Lit item;
        FillPlain(*node, item);
        // An empty string travels as a string without text; keep the list's one type.
        if (element == NET_TYPE_STRING && item.usType == NET_TYPE_UNKNOWN)
            item.usType = NET_TYPE_STRING;
        lit.items.push_back(std::move(item));
    }
}

void FillPlain(const sL_VALUE& value, Lit& lit) {
    lit.usType = NET_TYPE_UNKNOWN;
    if (!value.fValid)
        return;
    std::uint16_t type = value.usType;
    if (type <= NET_TYPE_LIST_LAST) {
        if (value.data.pList != nullptr)
            FillList(*value.data.pList, type, lit);
        return;
    }
    switch (type) {
        case NET_TYPE_BOOLEAN:
        case NET_TYPE_INTEGER:
            lit.lValue = value.data.lValue;
            break;
        case NET_TYPE_REAL:
            if (value.data.pdValue == nullptr)
                return;
            lit.dValue = *value.data.pdValue;
            break;
        case NET_TYPE_STRING:
            if (value.data.pString != nullptr && value.data.pString->mbcs() != nullptr)
                lit.text = value.data.pString->mbcs();
            break;
        case NET_TYPE_TIME:
            lit.time = value.data.time;
            break;
        case NET_TYPE_DATE:
            lit.date = value.data.date;
            break;
        default:
            if (!IsHandle(type))
                return;
            lit.lValue = value.data.lValue;
            break;
    }
    lit.usType = type;
}

}  // namespace

bool Lit::operator==(const Lit& other) const {
    if (usType != other.usType || depth != other.depth)
        return false;
    switch (usType) {
        case NET_TYPE_UNKNOWN:
            return true;
        case NET_TYPE_BOOLEAN:
            return (lValue != 0) == (other.lValue != 0);
        case NET_TYPE_REAL:
            return SameReal(dValue, other.dValue);
        case NET_TYPE_STRING:
            return text == other.text;
        case NET_TYPE_TIME:
            return std::memcmp(time.ucComponent, other.time.ucComponent, 3) == 0;
        case NET_TYPE_DATE:
            return date.usHalf[0] == other.date.usHalf[0] && date.usHalf[1] == other.date.usHalf[1];
        default:
            break;
    }
    if (IsList())
        return lCursor == other.lCursor && items == other.items;
    return lValue == other.lValue;
}

bool Parse(const std::string& text, std::vector<Lit>& values, ParseError& error) {
    values.clear();
    return Parser(text, error).Sequence(values);
}

bool ParseOne(const std::string& text, Lit& value, ParseError& error) {
    value = Lit();
    return Parser(text, error).Single(value);
}

bool ParseInteger(const std::string& text, std::int32_t& value, ParseError& error) {
    return Parser(text, error).Integer(value);
}

bool ParseReal(const std::string& text, double& value, ParseError& error) {
    return Parser(text, error).Real(value);
}

std::string Print(const Lit& value) {
    return std::string(static_cast<std::size_t>(value.depth), '&') + PrintPlain(value);
}

std::string Print(const std::vector<Lit>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i > 0 ? " " : "") + Print(values[i]);
    }
    return out;
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// The library prints values in this syntax; a string or real here is one such value.
std::string PrintString(const std::string& text) {
    return zornet::Value(text).Print();
}

std::string PrintReal(double value) {
    return zornet::Value(value).Print();
}

Json ToJson(const Lit& value) {
    const bool handle = IsHandle(value.usType), list = value.IsList();
    Json out{{"type", handle ? "handle" : list ? "list" : TypeName(value.usType)}};
    if (handle)
        out["code"] = value.usType;
    if (list) {
        out["of"] = TypeName(value.usType + NET_TYPE_UNKNOWN);
        out["cursor"] = value.lCursor;
        out["items"] = Json::array();
        for (const Lit& item : value.items)
            out["items"].push_back(ToJson(item));
    } else if (value.usType != NET_TYPE_UNKNOWN) {
        out["value"] = JsonValue(value);
    }
    if (value.depth > 0)
        out["depth"] = value.depth;
    return out;
}

std::string Dump(const Json& json) {
    // JSON text must be UTF-8: bytes that are not go out as U+FFFD.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string TypeName(std::uint16_t type) {
    if (type <= NET_TYPE_LIST_LAST)
        return "[" + TypeName(type + NET_TYPE_UNKNOWN) + "]";
    if (type >= NET_TYPE_UNKNOWN && type < NET_TYPE_UNKNOWN + kTypeNameCount)
        return kTypeNames[type - NET_TYPE_UNKNOWN];
    if (IsHandle(type))
        return "h" + std::to_string(type - NET_TYPE_UNKNOWN);
    return "type " + std::to_string(type);
}

void ValueStore::Build(const Lit& value, sL_VALUE& out) {
    sL_VALUE* target = &out;
    for (int i = 0; i < value.depth; ++i) {
        m_links.push_back(std::make_unique<sL_VALUE>());
        target->Cleanup();
        // A reference carries the type code of the value at the end of its chain.
        target->usType = value.usType;
        target->kind = NET_KIND_NONE;
        target->fReference = 1;
        target->fValid = 1;
        target->fSpare10 = target->fSpare20 = 0;
        target->data.pReference = m_links.back().get();
        target = m_links.back().get();
    }
    BuildPlain(value, *target);
}

void ValueStore::BuildPlain(const Lit& value, sL_VALUE& out) {
    out.Cleanup();
    out.data.pVoid = nullptr;
    out.usType = value.usType;
    out.fReference = out.fSpare10 = out.fSpare20 = 0;
    // The kinds follow the type codes up to the handles, which share one; lists have none.
    out.kind = value.IsList() ? NET_KIND_NONE
                              : std::min(value.usType - NET_TYPE_UNKNOWN, int{NET_KIND_HANDLE});
    out.fValid = value.usType != NET_TYPE_UNKNOWN;
    switch (value.usType) {
        case NET_TYPE_UNKNOWN:
            return;
        case NET_TYPE_BOOLEAN:
            out.data.lValue = value.lValue != 0 ? 1 : 0;
            return;
        case NET_TYPE_REAL:
            out.data.pdValue = new double(value.dValue);
            return;
        case NET_TYPE_STRING:
            out.data.pString = new ZoString(value.text.c_str());
            return;
        case NET_TYPE_TIME:
            out.data.time = value.time;
            out.data.time.ucComponent[3] = 0;
            return;
        case NET_TYPE_DATE:
            out.data.date = value.date;
            return;
        default:
            break;
    }
    if (!value.IsList()) {
        out.data.lValue = value.lValue;  // an integer or a handle number
        return;
    }
    m_headers.push_back(std::make_unique<sLIST_HEADER>());
    sLIST_HEADER* header = m_headers.back().get();
    *header = sLIST_HEADER{0, 0, 0, nullptr, nullptr, nullptr};
    for (const Lit& item : value.items) {
        m_nodes.push_back(std::make_unique<sLIST_NODE>());
        sLIST_NODE* node = m_nodes.back().get();
        BuildPlain(item, *node);
        node->pPrev = header->pLast;
        node->pNext = nullptr;
        (header->pLast != nullptr ? header->pLast->pNext : header->pFirst) = node;
        header->pLast = node;
        if (++header->lCount == value.lCursor)
            header->pCurrent = node;
    }
    header->lCurrent = value.lCursor;
    out.kind = NET_KIND_NONE;
    out.data.pList = header;
}

MSGUSERDATA* ValueStore::Block(const std::vector<Lit>& values, std::uint16_t type) {
    if (values.empty())
        return nullptr;
    m_arrays.push_back(std::make_unique<sL_VALUE[]>(values.size()));
    m_blocks.push_back(std::make_unique<MSGUSERDATA>());
    MSGUSERDATA* block = m_blocks.back().get();
    block->ulReserved = 0;
    block->lHandle = 0;
    block->usType = type;
    block->fSpare = block->fFlag10 = block->fFlag20 = block->fFlag40 = block->fFlag80 = 0;
    block->lCount = static_cast<std::int32_t>(values.size());
    block->pValues = m_arrays.back().get();
    for (std::size_t i = 0; i < values.size(); ++i)
        Build(values[i], block->pValues[i]);
    return block;
}

Lit FromValue(const sL_VALUE& value) {
    Lit lit;
    const sL_VALUE* at = &value;
    while (at->fValid && at->fReference && at->data.pReference != nullptr &&
           lit.depth < kMaxDepth) {
        ++lit.depth;
        at = at->data.pReference;
    }
    FillPlain(*at, lit);
    return lit;
}

std::vector<Lit> FromBlock(const MSGUSERDATA* block) {
    std::vector<Lit> values;
    if (block == nullptr || block->pValues == nullptr)
        return values;
    for (std::int32_t i = 0; i < block->lCount; ++i)
        values.push_back(FromValue(block->pValues[i]));
    return values;
}

}  // namespace netlit

-- SPDX-License-Identifier: Apache-2.0
-- zornet.lua: Wireshark and tshark dissector for zornet's TCP protocol.
--
--   tshark -X lua_script:tools/wireshark/zornet.lua -r capture.pcap -Y 'zornet.status != 1'
--
-- The protocol has no length prefix: each message is the concatenation of its fields, and an
-- answer can only be read knowing the request it answers. So the dissector follows every TCP
-- stream as its client and server read it: it parses a message to learn its length, keeps the
-- requests that still wait for an answer in a queue per stream, and takes the string encoding of
-- user-call values from that stream's handshake. See README.md beside this file for the fields.

local DEFAULT_PORT = 5001 -- the library's port when the services database has no "olmnet"
-- Reassembling a message costs time with every segment it spans; beyond this a stream is left.
local DEFAULT_MAX_MESSAGE = 1024 * 1024

local zornet = Proto("zornet", "zornet messaging protocol")

----------------------------------------------------------------------------------------------
-- Names

local MSG_CONNECT, MSG_INTEGER, MSG_REAL, MSG_STRING, MSG_USER, MSG_CLOSE = 1, 2, 3, 4, 5, 6
local FLAG_NOREPLY, FLAG_RETURNDATA = 0x1, 0x2
local TYPE_UNKNOWN, TYPE_BOOLEAN, TYPE_INTEGER, TYPE_REAL = 32000, 32001, 32002, 32003
local TYPE_STRING, TYPE_TIME, TYPE_DATE = 32004, 32005, 32006

local msg_names = {
    [MSG_CONNECT] = "Connect", [MSG_INTEGER] = "Integer call", [MSG_REAL] = "Real call",
    [MSG_STRING] = "String call", [MSG_USER] = "User call", [MSG_CLOSE] = "Close",
}
local status_names = {
    [0] = "none", [1] = "success", [2] = "nothing to remove",
    [3] = "out of memory, or the application gave no event object",
    [10] = "socket or port cannot be opened, or the listener was refused",
    [11] = "no event object attached", [26] = "connection refused by the application",
    [27] = "no such handle", [29] = "bad port in a service text",
    [30] = "protocol version not supported", [31] = "service not found",
    [32] = "socket write, read, lookup or connect failed", [33] = "not connected",
}
local refusal_names = {
    [-3] = "out of memory on the server", [-27] = "no handle is bound to this connection",
    [-30] = "protocol version not supported", [-31] = "service not found",
}
local unicode_names = { [0] = "single-byte strings", [1] = "UTF-16 strings" }
-- The literal syntax of netcall: none, bool, int, ... and h7 to h31 for handles.
local type_words = { [0] = "none", "bool", "int", "real", "string", "time", "date" }
local type_names = { [0] = "unknown", "boolean", "integer", "real", "string", "time", "date" }

----------------------------------------------------------------------------------------------
-- Fields

local F = {
    msg = ProtoField.uint32("zornet.msg", "Message", base.DEC, msg_names),
    reply = ProtoField.bool("zornet.reply", "Reply"),
    handshake = ProtoField.bool("zornet.handshake", "Handshake"),
    request_in = ProtoField.framenum("zornet.request_in", "Request in", base.NONE,
                                     frametype.REQUEST),
    version = ProtoField.uint32("zornet.version", "Protocol version"),
    host = ProtoField.string("zornet.host", "Host"),
    service = ProtoField.string("zornet.service", "Service"),
    code = ProtoField.int32("zornet.code", "Reply code"),
    refusal = ProtoField.int32("zornet.refusal", "Refusal", base.DEC, refusal_names),
    unicode = ProtoField.uint32("zornet.unicode", "Unicode word", base.DEC, unicode_names),
    fallback = ProtoField.string("zornet.fallback", "Version fall-back"),
    fallback_in = ProtoField.framenum("zornet.fallback_in", "Fall-back in"),
    status = ProtoField.uint32("zornet.status", "Status", base.DEC, status_names),
    flags = ProtoField.uint32("zornet.flags", "Flags", base.HEX),
    noreply = ProtoField.bool("zornet.flags.noreply", "One-way (no reply)", 32, nil, FLAG_NOREPLY),
    returndata = ProtoField.bool("zornet.flags.returndata", "Return data", 32, nil,
                                 FLAG_RETURNDATA),
    handle = ProtoField.int32("zornet.handle", "Handle"),
    reserved = ProtoField.uint32("zornet.reserved", "Reserved", base.HEX),
    value = ProtoField.string("zornet.value", "Value"),
    int = ProtoField.int32("zornet.int", "Integer"),
    real = ProtoField.double("zornet.real", "Real"),
    text = ProtoField.string("zornet.text", "Text"),
    length = ProtoField.uint32("zornet.length", "Byte count"),
    bom = ProtoField.uint16("zornet.bom", "Byte-order mark", base.HEX),
    count = ProtoField.int32("zornet.count", "Values"),
    block_type = ProtoField.uint32("zornet.block_type", "Type word"),
    block = ProtoField.uint32("zornet.block", "Block marker", base.HEX),
    type = ProtoField.uint8("zornet.type", "Type byte", base.HEX),
    type_code = ProtoField.uint16("zornet.type_code", "Type code"),
    depth = ProtoField.int16("zornet.depth", "Reference depth"),
    present = ProtoField.uint8("zornet.present", "Presence"),
    bool = ProtoField.uint8("zornet.bool", "Boolean"),
    time = ProtoField.string("zornet.time", "Time"),
    date = ProtoField.string("zornet.date", "Date"),
    handle_value = ProtoField.int32("zornet.handle_value", "Handle value"),
    list_count = ProtoField.int32("zornet.list.count", "Elements"),
    list_cursor = ProtoField.int32("zornet.list.cursor", "Cursor"),
    result = ProtoField.int32("zornet.result", "Close answer"),
    data = ProtoField.bytes("zornet.data", "Data"),
}
local field_list = {}
for _, f in pairs(F) do field_list[#field_list + 1] = f end
zornet.fields = field_list

-- Expert infos, by the last part of their filter name.
local E, expert_rows = {}, {
    { "malformed", "Malformed value", "MALFORMED", "ERROR" },
    { "refused", "Connection refused", "RESPONSE_CODE", "WARN" },
    { "fallback_note", "Version fall-back", "SEQUENCE", "NOTE" },
    { "unknown_msg", "Unknown message identifier", "PROTOCOL", "WARN" },
    { "unread", "Bytes the peer does not read", "SEQUENCE", "WARN" },
    { "too_long", "Message not reassembled", "UNDECODED", "WARN" },
    { "midstream", "Capture starts after the handshake", "SEQUENCE", "NOTE" },
}
local expert_list = {}
for _, row in ipairs(expert_rows) do
    E[row[1]] = ProtoExpert.new("zornet." .. row[1], row[2], expert.group[row[3]],
                                expert.severity[row[4]])
    expert_list[#expert_list + 1] = E[row[1]]
end
zornet.experts = expert_list

zornet.prefs.ports = Pref.range("Ports", tostring(DEFAULT_PORT),
                                "TCP ports of zornet servers", 65535)
zornet.prefs.max_message = Pref.uint("Longest message", DEFAULT_MAX_MESSAGE,
    "Bytes of the longest message to reassemble; after a longer one the rest of its direction " ..
    "is shown as data")

local tcp_stream = Field.new("tcp.stream")

----------------------------------------------------------------------------------------------
-- Value literals, as netcall prints them, so a capture reads like netcall's output

local function utf8_length(s, i)
    local lead = s:byte(i)
    local extra
    if lead < 0x80 then return 1
    elseif lead >= 0xC2 and lead <= 0xDF then extra = 1
    elseif lead >= 0xE0 and lead <= 0xEF then extra = 2
    elseif lead >= 0xF0 and lead <= 0xF4 then extra = 3
    else return 0 end
    if #s - i < extra then return 0 end
    for k = 1, extra do
        if bit32.band(s:byte(i + k), 0xC0) ~= 0x80 then return 0 end
    end
    local next = s:byte(i + 1)
    -- Overlong forms, surrogates and code points above U+10FFFF are not UTF-8 either.
    if (lead == 0xE0 and next < 0xA0) or (lead == 0xED and next >= 0xA0) or
       (lead == 0xF0 and next < 0x90) or (lead == 0xF4 and next >= 0x90) then
        return 0
    end
    return extra + 1
end

-- Quoted, with bytes that are not UTF-8 kept as \xHH.
local function quote(s)
    local out, i = { '"' }, 1
    while i <= #s do
        local c, n = s:byte(i), utf8_length(s, i)
        if n == 0 then
            out[#out + 1] = string.format("\\x%02X", c)
            n = 1
        elseif c == 0x22 or c == 0x5C then
            out[#out + 1] = "\\" .. string.char(c)
        elseif c == 0x0A then out[#out + 1] = "\\n"
        elseif c == 0x09 then out[#out + 1] = "\\t"
        elseif c == 0x0D then out[#out + 1] = "\\r"
        elseif c < 0x20 or c == 0x7F then out[#out + 1] = string.format("\\u%04X", c)
        else out[#out + 1] = s:sub(i, i + n - 1) end
        i = i + n
    end
    return table.concat(out) .. '"'
end

-- The shortest text that reads back as the same double, never mistaken for an integer.
local function real_literal(v)
    if v ~= v then return "nan" end
    if v == math.huge then return "inf" end
    if v == -math.huge then return "-inf" end
    local text
    for precision = 1, 17 do
        text = string.format("%." .. precision .. "g", v)
        if tonumber(text) == v then break end
    end
    if text:find("e") and math.abs(v) >= 1 and math.abs(v) < 1e16 then
        for decimals = 1, 17 do
            local fixed = string.format("%." .. decimals .. "f", v)
            if tonumber(fixed) == v then return fixed end
        end
    end
    if not text:find("[.e]") then text = text .. ".0" end
    return text
end

local function is_handle(code) return code >= 32007 and code <= 32031 end

local function type_word(code)
    if is_handle(code) then return "h" .. (code - TYPE_UNKNOWN) end
    return type_words[code - TYPE_UNKNOWN] or tostring(code)
end

local function type_name(code)
    if code < TYPE_UNKNOWN then return "list of " .. type_word(code + TYPE_UNKNOWN) end
    if is_handle(code) then return "handle h" .. (code - TYPE_UNKNOWN) end
    return type_names[code - TYPE_UNKNOWN] or tostring(code)
end

----------------------------------------------------------------------------------------------
-- Reading: a cursor over a tvb that raises SHORT when the message goes on beyond the data, and
-- TOO_LONG when it goes on beyond the longest message to reassemble. The same parse runs twice:
-- without a tree to learn the length (NOTREE swallows every call), then with the tree once the
-- whole message is there.

local NOTREE = setmetatable({}, { __index = function(t) return function() return t end end })
local SHORT, TOO_LONG = {}, {}

local Reader = {}
Reader.__index = Reader

local function new_reader(tvb, offset)
    return setmetatable({ tvb = tvb, pos = offset, len = tvb:len(),
                          stop = offset + zornet.prefs.max_message, malformed = false }, Reader)
end

function Reader:take(n)
    if self.pos + n > self.stop then error(TOO_LONG, 0) end
    if self.pos + n > self.len then error(SHORT, 0) end
    local range = self.tvb(self.pos, n)
    self.pos = self.pos + n
    return range
end

function Reader:left() return self.len - self.pos end

function Reader:peek(n)
    local range = self:take(n)
    self.pos = self.pos - n
    return range
end

-- Text up to its first NUL, as a receiver's C string ends there; nothing says one is present.
local function before_nul(text) return text:sub(1, (text:find("\0", 1, true) or #text + 1) - 1) end
local function c_string(range) return before_nul(range:string(ENC_UTF_8)) end

-- Adds a field over the next n bytes and returns the item and the range.
function Reader:add(t, field, n, value)
    local range = self:take(n)
    if value ~= nil then return t:add(field, range, value), range end
    return t:add(field, range), range
end

function Reader:uint(t, field) local item, r = self:add(t, field, 4); return r:uint(), item end
function Reader:int(t, field) local item, r = self:add(t, field, 4); return r:int(), item end

function Reader:bad(item, text)
    item:add_proto_expert_info(E.malformed, text)
    self.malformed = true
    return nil
end

-- The String form: a count that includes the terminating NUL, then the bytes. nil: no text.
function Reader:single_text(t)
    local n = self:uint(t, F.length)
    if n == 0 then return nil end
    local range = self:take(n)
    t:add(F.text, range, c_string(range))
    return before_nul(range:raw())
end

-- The Unicode form: a byte count, the byte-order mark FF 00, then 16-bit units.
function Reader:unicode_text(t)
    local n = self:uint(t, F.length)
    local bom = self:take(2)
    t:add(F.bom, bom)
    if n == 0 then return nil end
    local range = self:take(n)
    local units = range
    if n % 2 == 1 then units = range(0, n - 1) end -- an odd last byte is read and dropped
    local text = ""
    if n > 1 then
        text = bom:uint() == 0xFF00 and units:ustring() or units:le_ustring()
    end
    t:add(F.text, range, text)
    return text
end

----------------------------------------------------------------------------------------------
-- Typed values of user calls

-- An integer body (presence byte, then 4 bytes); a missing integer counts as 0.
local function integer_body(r, t, field)
    local _, presence = r:add(t, F.present, 1)
    if presence:uint() == 0 then return 0 end
    return (r:int(t, field))
end

local list_body

-- The body of one value of type code `code`; returns its literal, or nil when malformed.
local function body(r, t, code, unicode, in_list)
    if code < TYPE_UNKNOWN then return list_body(r, t, code, unicode) end
    local present_item, presence = r:add(t, F.present, 1)
    if code == TYPE_UNKNOWN then
        if presence:uint() ~= 0 then
            return r:bad(present_item, "a value of unknown type carries presence byte " ..
                         presence:uint() .. ", not 0")
        end
        return "none"
    end
    if presence:uint() == 0 then
        -- An empty string travels without text; in a list it keeps the list's one type.
        if code == TYPE_STRING and in_list then return '""' end
        return "none"
    end
    if code == TYPE_BOOLEAN then
        local _, b = r:add(t, F.bool, 1)
        return b:uint() ~= 0 and "true" or "false"
    elseif code == TYPE_INTEGER then
        return tostring((r:int(t, F.int)))
    elseif code == TYPE_REAL then
        local range = r:take(8)
        t:add_le(F.real, range)
        return real_literal(range:le_float())
    elseif code == TYPE_STRING then
        if unicode == nil then
            -- No handshake in the capture: the byte-order mark of the UTF-16 form tells.
            local mark = r:peek(6)(4, 2):uint()
            unicode = mark == 0xFF00 or mark == 0x00FF
        end
        local text
        if unicode then text = r:unicode_text(t) else text = r:single_text(t) end
        return quote(text or "")
    elseif code == TYPE_TIME then
        local range = r:take(3)
        local lit = string.format("t%02d:%02d:%02d", range(0, 1):uint(), range(1, 1):uint(),
                                  range(2, 1):uint())
        t:add(F.time, range, lit:sub(2))
        return lit
    elseif code == TYPE_DATE then
        local range = r:take(4)
        local lit = string.format("d%d/%d", range(0, 2):uint(), range(2, 2):uint())
        t:add(F.date, range, lit:sub(2))
        return lit
    end
    return type_word(code) .. ":" .. r:int(t, F.handle_value)
end

list_body = function(r, t, code, unicode)
    local count = integer_body(r, t, F.list_count)
    local cursor = integer_body(r, t, F.list_cursor)
    local element = code + TYPE_UNKNOWN
    local items = {}
    -- Every element takes at least its presence byte, so the data bounds this loop.
    for i = 1, count do
        local start = r.pos
        local sub = t:add(r.tvb(start, math.min(1, r:left())), "Element " .. i)
        local lit = body(r, sub, element, unicode, true)
        sub:set_len(r.pos - start)
        if not lit then return nil end
        sub:append_text(": " .. lit)
        items[i] = lit
    end
    -- A receiver puts the cursor on element min(cursor, count), or on none for 0 or less.
    local at = cursor >= 1 and math.min(cursor, math.max(count, 0)) or 0
    if #items == 0 then return "[:" .. type_word(element) .. " @" .. at .. "]" end
    return "[" .. table.concat(items, ", ") .. " @" .. at .. "]"
end

-- One packed value: type byte, reference depth, body. Returns false when malformed.
local function packed_value(r, t, index, unicode)
    local start = r.pos
    local sub = t:add(r.tvb(start, math.min(1, r:left())), "Value " .. index)
    local type_item, type_range = r:add(sub, F.type, 1)
    local byte = type_range:uint()
    local _, depth_range = r:add(sub, F.depth, 2)
    local depth = depth_range:int()
    local lit
    if bit32.band(byte, 0x40) ~= 0 or bit32.band(byte, 0xE0) == 0xA0 then
        -- The receiver reads the depth and then gives the connection up.
        r:bad(type_item, string.format("type byte 0x%02X is neither a value nor a list type", byte))
    else
        local code = bit32.band(byte, 0x80) ~= 0 and bit32.band(byte, 0x1F)
                     or TYPE_UNKNOWN + bit32.band(byte, 0x1F)
        sub:add(F.type_code, type_range, code):set_generated()
        lit = body(r, sub, code, unicode, false)
        if lit and depth > 0 then
            -- Long chains come from broken peers; their count is shown instead of the &s.
            lit = (depth <= 16 and string.rep("&", depth) or "&<" .. depth .. ">") .. lit
        end
        if lit then sub:append_text(" (" .. type_name(code) .. ")") end
    end
    sub:set_len(r.pos - start)
    if not lit then return false end
    sub:append_text(": " .. lit)
    sub:add(F.value, r.tvb(start, r.pos - start), lit)
    return true
end

----------------------------------------------------------------------------------------------
-- Messages. Each parse returns a short text for the Info column and records in `info` what the
-- stream state needs: the kind, whether an answer follows, the version, the Unicode word.

local function flags_field(r, t)
    local flags, item = r:uint(t, F.flags)
    local range = r.tvb(r.pos - 4, 4)
    item:add(F.noreply, range)
    item:add(F.returndata, range)
    return flags
end

local function status_field(r, t)
    local status = r:uint(t, F.status)
    return string.format("status %d (%s)", status, status_names[status] or "unknown status")
end

-- The block of the connect message: host and service, each in a zero-filled 257-byte field.
local function connect_block(r, t, info)
    info.version = r:uint(t, F.version)
    local host = r:take(257)
    t:add(F.host, host, c_string(host))
    local service = r:take(257)
    info.service = c_string(service)
    t:add(F.service, service, info.service)
    return string.format('version %d, service "%s"', info.version, info.service)
end

-- A call record as the client sends it and the server answers it, after the identifier.
local function call_record(r, t, kind, unicode, answer)
    local value_lit, status_text
    if kind == MSG_INTEGER then
        local range = r:take(4)
        value_lit = tostring(range:int())
        t:add(F.value, range, value_lit):add(F.int, range)
    elseif kind == MSG_REAL then
        local range = r:take(8)
        value_lit = real_literal(range:le_float())
        t:add(F.value, range, value_lit):add_le(F.real, range)
    elseif kind == MSG_STRING then
        r:add(t, F.reserved, 4)
    end
    status_text = status_field(r, t)
    local flags = flags_field(r, t)
    r:int(t, F.handle)
    if kind == MSG_STRING then
        local start = r.pos
        local text = r:single_text(t)
        value_lit = text and quote(text) or "none"
        t:add(F.value, r.tvb(start, r.pos - start), value_lit)
    elseif kind == MSG_USER then
        local count = r:int(t, F.count)
        r:uint(t, F.block_type)
        r:add(t, F.reserved, 4)
        local marker = r:uint(t, F.block)
        local values = (marker ~= 0 and count > 0) and count or 0
        -- Each value takes at least 4 bytes, so the data bounds this loop.
        for i = 1, values do
            if not packed_value(r, t, i, unicode) then return nil, flags end
        end
        value_lit = values .. (values == 1 and " value" or " values")
        if marker == 0 then value_lit = "no values" end
    end
    local text = msg_names[kind]
    if answer then text = text .. " reply, " .. status_text end
    if bit32.band(flags, FLAG_NOREPLY) ~= 0 and not answer then text = text .. " (one-way)" end
    return text .. ": " .. value_lit, flags
end

-- What the client sends: the handshake first, then messages that each open with an identifier.
-- A stream that opens with a call identifier was captured after its handshake.
local function client_message(r, t, plan, info)
    local first = plan.first and r:peek(4):uint()
    if first and (first < MSG_INTEGER or first > MSG_CLOSE) then
        info.handshake, info.kind, info.answered = true, MSG_CONNECT, true
        t:add(F.handshake, r.tvb(r.pos, 0), true):set_generated()
        local id, item = r:uint(t, F.msg)
        if id ~= MSG_CONNECT then item:append_text(" (any identifier opens the handshake)") end
        return "Handshake, " .. connect_block(r, t, info)
    end
    if first then
        t:add_proto_expert_info(E.midstream, "The capture starts after the handshake: " ..
                                "strings are read in the form their byte-order mark shows")
    end
    local id, item = r:uint(t, F.msg)
    info.kind = id
    if id == MSG_CONNECT then
        info.answered = true
        return "Connect on the open connection, " .. connect_block(r, t, info)
    elseif id == MSG_CLOSE then
        info.answered = true
        return "Close"
    elseif not msg_names[id] then
        item:add_proto_expert_info(E.unknown_msg, "Unknown message identifier " .. id ..
                                   ": the server reads the next identifier")
        return "Unknown message " .. id
    end
    local text, flags = call_record(r, t, id, plan.unicode, false)
    info.answered = not r.malformed and bit32.band(flags, FLAG_NOREPLY) == 0
    return text or (msg_names[id] .. ", malformed")
end

-- The handshake's answer: a handle number or a refusal, and for version 2 the Unicode word,
-- which a server of version 2 writes together with the handle number.
local function connect_answer(r, t, request, info)
    local code, item = r:int(t, F.code)
    local v = request.version
    if code < 0 then
        t:add(F.refusal, r.tvb(r.pos - 4, 4))
        local meaning = refusal_names[code] or "unknown refusal"
        item:append_text(" (refused: " .. meaning .. ")")
        item:add_proto_expert_info(E.refused, "Refused: " .. meaning)
        if code == -30 and v > 0 then
            local why = string.format("version %d refused: a client tries again with version " ..
                                      "%d on a new connection", v, v - 1)
            t:add(F.fallback, r.tvb(r.pos - 4, 4), why):set_generated()
            item:add_proto_expert_info(E.fallback_note, why)
            info.fallback = true
        end
        return string.format("refused %d (%s)", code, meaning)
    end
    item:append_text(" (handle number)")
    t:add(F.handle, r.tvb(r.pos - 4, 4))
    local text = "handle " .. code
    if v < 2 then
        info.unicode = request.handshake and 0 or nil
        return text
    end
    if r:left() < 4 then
        -- A client reads the word only if it is there at once; without it the server is taken
        -- for one of version 1, and the client reconnects offering version 1.
        local why = "no Unicode word after the handle number: the server speaks version 1, " ..
                    "so the client closes and reconnects offering version 1"
        t:add(F.fallback, r.tvb(r.pos - 4, 4), why):set_generated()
        item:add_proto_expert_info(E.fallback_note, why)
        info.fallback = true
        return text .. ", no Unicode word (version fall-back)"
    end
    local word, word_item = r:uint(t, F.unicode)
    info.unicode = bit32.band(word, 1)
    if word > 1 then word_item:append_text(", its lowest bit: " .. unicode_names[info.unicode]) end
    return text .. ", " .. unicode_names[info.unicode]
end

-- What the server sends: the answer to the oldest request that waits for one.
local function server_message(r, t, plan, info)
    local request = plan.request
    t:add(F.msg, r.tvb(r.pos, 0), request.kind):set_generated()
    t:add(F.request_in, r.tvb(r.pos, 0), request.frame):set_generated()
    if request.kind == MSG_CONNECT then
        if request.handshake then
            t:add(F.handshake, r.tvb(r.pos, 0), true):set_generated()
        end
        return (request.handshake and "Handshake reply, " or "Connect reply, ") ..
               connect_answer(r, t, request, info)
    elseif request.kind == MSG_CLOSE then
        return "Close reply " .. r:int(t, F.result)
    end
    local text = call_record(r, t, request.kind, plan.unicode, true)
    return text or (msg_names[request.kind] .. " reply, malformed")
end

-- Bytes not read as messages: the rest of a direction after a malformed message or one too
-- long to reassemble, or answers nobody asked for.
local function unread(r, t, plan)
    local item = t:add(F.data, r.tvb(r.pos, r:left()))
    r.pos = r.len
    item:add_proto_expert_info(plan.too_long and E.too_long or E.unread, plan.why)
    return "Data, not read"
end

local AFTER_MALFORMED = "The receiver ends the connection after a malformed message"
local NO_REQUEST = "No request is waiting for an answer"
local function too_long_why()
    return "A message longer than the \"Longest message\" preference (" ..
           zornet.prefs.max_message .. " bytes): this direction is not followed further"
end

----------------------------------------------------------------------------------------------
-- Stream state. `streams` holds what the first pass learnt, per TCP stream; `pdus` holds, per
-- message (frame number and position), the plan it was read with, so that dissecting a frame
-- again, in any order, reads it the same way.

local streams, pdus, retries = {}, {}, {}

function zornet.init()
    streams, pdus, retries = {}, {}, {}
end

local function stream_state(pinfo)
    local fi = tcp_stream()
    local key = fi and fi.value or (tostring(pinfo.src) .. ":" .. pinfo.src_port .. "-" ..
                                    tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
    local st = streams[key]
    if not st then
        st = { queue = {}, head = 1, tail = 0, dead = {} }
        streams[key] = st
    end
    return st
end

-- The client is the side that connects to a zornet port; failing that, the side that speaks
-- first, as every exchange starts with the client.
local function from_client(pinfo, st)
    local src = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local dst = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if not st.client then
        local port = pinfo.match_uint
        if pinfo.src_port == port and pinfo.dst_port ~= port then st.client = dst
        else st.client = src end
    end
    return st.client == src
end

-- How user-call strings travel: true UTF-16, false single-byte, nil not known from the capture.
local function string_form(st)
    if st.unicode == nil then return nil end
    return st.unicode == 1
end

local function make_plan(st, client)
    local dir = client and "client" or "server"
    local dead = st.dead[dir]
    if dead then
        return { unread = true, why = dead.why, too_long = dead.too_long, client = client }
    end
    if client then
        return { client = true, first = not st.started, unicode = string_form(st) }
    end
    local request = st.queue[st.head]
    if not request then return { unread = true, why = NO_REQUEST, client = false } end
    return { request = request, unicode = string_form(st) }
end

-- A retry after a fall-back goes to the same server and service with a lower version.
local function note_retry(pinfo, info)
    local key = tostring(pinfo.dst) .. ":" .. pinfo.dst_port .. "/" .. info.service
    local earlier = retries[key]
    if earlier and info.version < earlier.version then
        return { text = "retry with version " .. info.version .. " after a version fall-back",
                 frame = earlier.frame }
    end
    return nil
end

-- First pass only: what this message changes in its stream.
local function commit(pinfo, st, plan, info)
    local dir = plan.client and "client" or "server"
    if plan.too_long then st.dead[dir] = plan end
    if plan.unread then return end
    if info.malformed then st.dead[dir] = { why = AFTER_MALFORMED } end
    if plan.client then
        st.started = true
        if info.handshake then plan.retry = note_retry(pinfo, info) end
        if info.answered then
            st.tail = st.tail + 1
            st.queue[st.tail] = { kind = info.kind, frame = pinfo.number, version = info.version,
                                  handshake = info.handshake, service = info.service }
        end
        return
    end
    st.queue[st.head] = nil
    st.head = st.head + 1
    local request = plan.request
    if request.kind == MSG_CONNECT then
        if info.unicode then st.unicode = info.unicode end
        if info.fallback then
            retries[tostring(pinfo.src) .. ":" .. pinfo.src_port .. "/" .. request.service] =
                { version = request.version, frame = pinfo.number }
        end
    end
end

-- Parses one message at r.pos into t; returns its Info text and what it told.
local function parse(r, t, plan)
    local info = {}
    local text
    if plan.unread then
        text = unread(r, t, plan)
    elseif plan.client then
        text = client_message(r, t, plan, info)
    else
        text = server_message(r, t, plan, info)
    end
    info.malformed = r.malformed
    return text, info
end

local function set_info(pinfo, text)
    if pinfo.private.zornet_info then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set(text)
        pinfo.private.zornet_info = "1"
    end
end

function zornet.dissector(tvb, pinfo, tree)
    local st = stream_state(pinfo)
    local client = from_client(pinfo, st)
    pinfo.cols.protocol = "zornet"
    local len, offset = tvb:len(), 0
    while offset < len do
        local key = pinfo.number .. ":" .. (tvb:offset() + offset)
        local memo = pdus[key]
        local plan = memo or make_plan(st, client)
        local r = new_reader(tvb, offset)
        local ok, err, info = pcall(parse, r, NOTREE, plan)
        if not ok and err == TOO_LONG then
            plan = { unread = true, why = too_long_why(), too_long = true, client = client }
            r = new_reader(tvb, offset)
            ok, err, info = pcall(parse, r, NOTREE, plan)
        end
        if not ok then
            if err ~= SHORT then error(err, 0) end
            -- Only one more segment at a time: TCP loses messages in two-pass and GUI
            -- dissection when a dissector asks for an exact length more than once.
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            return len
        end
        if not memo and not pinfo.visited then
            commit(pinfo, st, plan, info)
            pdus[key] = plan
        end
        local size = r.pos - offset
        local t = tree:add(zornet, tvb(offset, size))
        t:add(F.reply, tvb(offset, 0), not plan.client):set_generated()
        local text = parse(new_reader(tvb, offset), t, plan)
        if plan.retry then
            t:add(F.fallback, tvb(offset, 0), plan.retry.text):set_generated()
            t:add(F.fallback_in, tvb(offset, 0), plan.retry.frame):set_generated()
            text = text .. " (" .. plan.retry.text .. ")"
        end
        t:append_text(", " .. text)
        set_info(pinfo, text)
        offset = offset + size
    end
    return offset
end

----------------------------------------------------------------------------------------------
-- Registration: the default port, the ports of the preference, and "Decode As".

local tcp_port = DissectorTable.get("tcp.port")
local registered = nil

local function register_ports()
    if registered then tcp_port:remove(registered, zornet) end
    registered = zornet.prefs.ports
    tcp_port:add(registered, zornet)
end

function zornet.prefs_changed()
    if registered ~= zornet.prefs.ports then register_ports() end
end

register_ports()
tcp_port:add_for_decode_as(zornet)

-- Wireshark dissector for the kiv-ipod daemon link: the captures written by
-- libkiv-ipod-2 (KIV_IPOD_CAPTURE) and by kiv-ipod-simd --capture.
--
--   tshark -X lua_script:tools/wireshark/kiv_ipod.lua -r capture.pcap
--   wireshark -X lua_script:tools/wireshark/kiv_ipod.lua capture.pcap
--
-- or copy this file into the personal Lua plugin folder
-- (~/.local/lib/wireshark/plugins/). The captures use the pcap link type
-- 147 (DLT_USER0, Wireshark's "USER0" encapsulation). Every record starts
-- with an 8-byte pseudo-header: the direction (0 to the daemon, 1 from
-- it), three zero bytes and the connection number (big-endian; 0 in the
-- library's files, the client number in the simulator's). Then comes one
-- frame: a 16-byte header (marker 0xFE, 3 zero bytes, transaction id,
-- opcode, 3 zero bytes, payload length; big-endian) and the payload, one
-- encoded value.
--
-- Filter fields: kiv_ipod.tid, kiv_ipod.opcode, kiv_ipod.event,
-- kiv_ipod.direction, kiv_ipod.connection, kiv_ipod.string, kiv_ipod.int,
-- kiv_ipod.key, ... e.g.  kiv_ipod.opcode == 15  or
-- kiv_ipod.event == "ipod_ready".
--
-- A capture holds everything on the wire, Bluetooth PIN codes included.

local kiv = Proto("kiv_ipod", "kiv-ipod daemon link")

local opcode_names = {
    [0] = "open", [1] = "event", [2] = "unused", [3] = "packet_error",
    [4] = "open_session", [5] = "close_session", [6] = "play", [7] = "stop",
    [8] = "pause", [9] = "next_track", [10] = "prev_track", [11] = "start_ffw",
    [12] = "start_rew", [13] = "stop_ffwrew", [14] = "set_position",
    [15] = "current_track_info", [16] = "get_sample_rate",
    [17] = "current_track_artwork", [18] = "get_play_state",
    [19] = "get_current_track_index", [20] = "set_shuffle", [21] = "get_shuffle",
    [22] = "set_repeat", [23] = "get_repeat", [24] = "set_category",
    [25] = "set_hierarchy", [26] = "select_db", [27] = "get_records",
    [28] = "reauthentication", [29] = "set_preference", [30] = "get_preference",
    [31] = "indexed_track_info", [32] = "indexed_track_chapter_info",
    [33] = "health_examine", [34] = "write_tag", [35] = "set_statechange",
    [36] = "enter_videooutmode", [37] = "exit_videooutmode",
    [38] = "get_videooutoptions", [39] = "set_videooutoptions",
    [40] = "navigate_videoout", [41] = "get_mode", [42] = "get_db_itunes_info",
    [43] = "get_db_track_info", [44] = "get_pb_track_info",
    [45] = "prepare_uid_list", [46] = "play_uid_list",
    [47] = "request_lingo_version", [48] = "set_current_playing_track_chapter",
    [49] = "set_current_playing_track", [50] = "set_available_current",
    [51] = "set_bluetooth_hw_info", [52] = "set_bluetooth_state",
    [53] = "get_artwork_data", [54] = "ping", [55] = "restart_idps",
    [56] = "set_config", [57] = "launch_application", [58] = "send_eap_datagram",
}

local OP_EVENT, OP_PING = 1, 54
local HEADER = 16
local PSEUDO = 8
local MAX_DEPTH = 64

local f = {
    direction = ProtoField.uint8("kiv_ipod.direction", "Direction", base.DEC,
                                 { [0] = "to daemon", [1] = "from daemon" }),
    connection = ProtoField.uint32("kiv_ipod.connection", "Connection", base.DEC),
    marker = ProtoField.uint8("kiv_ipod.marker", "Marker", base.HEX),
    tid = ProtoField.uint32("kiv_ipod.tid", "Transaction id", base.DEC),
    opcode = ProtoField.uint8("kiv_ipod.opcode", "Opcode", base.DEC, opcode_names),
    length = ProtoField.uint32("kiv_ipod.length", "Payload length", base.DEC),
    event = ProtoField.string("kiv_ipod.event", "Event"),
    int = ProtoField.int32("kiv_ipod.int", "Integer", base.DEC),
    float = ProtoField.string("kiv_ipod.float", "Float"),
    string = ProtoField.string("kiv_ipod.string", "String"),
    bytes = ProtoField.bytes("kiv_ipod.bytes", "Bytes"),
    array = ProtoField.uint32("kiv_ipod.array", "Array, elements", base.DEC),
    hash = ProtoField.uint32("kiv_ipod.hash", "Hash, entries", base.DEC),
    key = ProtoField.string("kiv_ipod.key", "Key"),
    response_in = ProtoField.framenum("kiv_ipod.response_in", "Reply in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("kiv_ipod.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("kiv_ipod.time", "Response time"),
}
kiv.fields = f

local e = {
    marker = ProtoExpert.new("kiv_ipod.marker.wrong", "Wrong marker (expected 0xfe): the stream lost step",
                             expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("kiv_ipod.length.past", "Length past the end of the frame",
                             expert.group.MALFORMED, expert.severity.ERROR),
    value = ProtoExpert.new("kiv_ipod.value.undecodable", "Undecodable value",
                            expert.group.MALFORMED, expert.severity.ERROR),
    skipped = ProtoExpert.new("kiv_ipod.value.skipped", "Unknown type letter, skipped",
                              expert.group.PROTOCOL, expert.severity.WARN),
    short = ProtoExpert.new("kiv_ipod.short", "Frame shorter than its header",
                            expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("kiv_ipod.cut", "Frame cut in the capture",
                          expert.group.SEQUENCE, expert.severity.NOTE),
    trailing = ProtoExpert.new("kiv_ipod.trailing", "Bytes after the payload",
                               expert.group.PROTOCOL, expert.severity.WARN),
    noreply = ProtoExpert.new("kiv_ipod.reply.orphan", "Reply to no request seen in the capture",
                              expert.group.SEQUENCE, expert.severity.NOTE),
}
kiv.experts = { e.marker, e.length, e.value, e.skipped, e.short, e.cut, e.trailing, e.noreply }

-- Request/reply pairing, built on the first pass: key "connection:tid".
local requests, reply_of, request_of

function kiv.init()
    requests, reply_of, request_of = {}, {}, {}
end

-- Integer text as the library reads it: leading blanks, sign, digits;
-- saturated to 32 bits.
local function parse_int(text)
    local sign, digits = text:match("^%s*([+-]?)(%d*)")
    local v = 0
    for k = 1, #(digits or "") do
        v = v * 10 + (digits:byte(k) - 48)
        if v > 2147483648 then v = 2147483648 break end
    end
    if sign == "-" then return -v end
    if v > 2147483647 then v = 2147483647 end
    return v
end

-- Text of a number or key: ends at its first NUL.
local function cut_nul(s)
    local nul = s:find("\0", 1, true)
    return nul and s:sub(1, nul - 1) or s
end

-- Decodes the value at `off` (absolute offset in tvb, payload ends at
-- `stop`) under `tree`. Returns the next offset and a one-line summary, or
-- nil and the offset of the fault. `label` prefixes the item (a key or an
-- index). Inside a container an unknown letter is skipped (one byte).
local decode

local function fault(tree, off, why)
    tree:add_proto_expert_info(e.value, "Undecodable value: " .. why .. " at offset " .. off)
    return nil, off
end

decode = function(tvb, off, stop, tree, depth, label, in_container)
    if off >= stop then return fault(tree, off, "value missing") end
    local letter = string.char(tvb(off, 1):uint())
    if letter == "i" or letter == "f" then
        if off + 2 > stop then return fault(tree, off, "number header past the payload") end
        local n = tvb(off + 1, 1):uint()
        if off + 2 + n > stop then return fault(tree, off, "number text past the payload") end
        local text = n > 0 and cut_nul(tvb(off + 2, n):raw()) or ""
        local item
        if letter == "i" then
            local v = parse_int(text)
            item = tree:add(f.int, tvb(off, 2 + n), v)
            item:set_text(label .. "int " .. v)
            return off + 2 + n, tostring(v)
        end
        item = tree:add(f.float, tvb(off, 2 + n), text)
        item:set_text(label .. "float " .. text)
        return off + 2 + n, text
    elseif letter == "s" or letter == "b" then
        if off + 5 > stop then return fault(tree, off, "length past the payload") end
        local n = tvb(off + 1, 4):uint()
        if n > stop - off - 5 then return fault(tree, off, "string of " .. n .. " bytes past the payload") end
        if letter == "s" then
            local text = n > 0 and tvb(off + 5, n):raw() or ""
            local item = tree:add(f.string, tvb(off, 5 + n), text)
            item:set_text(label .. "string \"" .. text .. "\"")
            return off + 5 + n, "\"" .. text .. "\""
        end
        local item = n > 0 and tree:add(f.bytes, tvb(off + 5, n)) or tree:add(tvb(off, 5), "")
        local shown = n > 0 and tvb(off + 5, math.min(n, 32)):bytes():tohex() or ""
        item:set_text(label .. "bytes (" .. n .. ") " .. shown .. (n > 32 and "..." or ""))
        return off + 5 + n, "<" .. shown .. (n > 32 and "..." or "") .. ">"
    elseif letter == "a" or letter == "h" then
        if off + 9 > stop then return fault(tree, off, "container header past the payload") end
        local count = tvb(off + 5, 4):uint()
        local is_hash = letter == "h"
        local item = tree:add(is_hash and f.hash or f.array, tvb(off, 9), count)
        if depth >= MAX_DEPTH then return fault(item, off, "nesting deeper than " .. MAX_DEPTH) end
        local at, k, parts, kept = off + 9, 0, {}, 0
        while k < count and at < stop do
            local name = "[" .. kept .. "] "
            local key
            if is_hash then
                if at + 2 > stop then return fault(item, at, "key length past the payload") end
                local klen = tvb(at, 2):uint()
                if at + 2 + klen > stop then return fault(item, at, "key past the payload") end
                key = klen > 0 and cut_nul(tvb(at + 2, klen):raw()) or ""
                local kitem = item:add(f.key, tvb(at, 2 + klen), key)
                kitem:set_hidden()
                name = key .. ": "
                at = at + 2 + klen
            end
            local next_at, summary = decode(tvb, at, stop, item, depth + 1, name, true)
            if next_at == nil then return nil, summary end
            if summary ~= nil then
                parts[#parts + 1] = is_hash and (key .. ": " .. summary) or summary
                kept = kept + 1
            end
            at = next_at
            k = k + 1
        end
        item:set_len(at - off)
        item:set_text(label .. (is_hash and "hash" or "array") .. " (" .. count .. ")")
        local open, close = is_hash and "{" or "[", is_hash and "}" or "]"
        return at, open .. table.concat(parts, ", ") .. close
    end
    if in_container then
        tree:add_proto_expert_info(e.skipped, string.format("Unknown type letter 0x%02x at offset %d, skipped", tvb(off, 1):uint(), off))
        return off + 1, nil
    end
    return fault(tree, off, string.format("unknown type letter 0x%02x", tvb(off, 1):uint()))
end

-- The "event" text of an event hash (checked after decoding succeeded).
local function event_name(tvb, off, stop)
    if tvb(off, 1):uint() ~= 0x68 then return nil end
    local count, at = tvb(off + 5, 4):uint(), off + 9
    local function skip(p)
        local l = string.char(tvb(p, 1):uint())
        if l == "i" or l == "f" then return p + 2 + tvb(p + 1, 1):uint() end
        if l == "s" or l == "b" then return p + 5 + tvb(p + 1, 4):uint() end
        if l == "a" or l == "h" then
            local n, q = tvb(p + 5, 4):uint(), p + 9
            local k = 0
            while k < n and q < stop do
                if l == "h" then q = q + 2 + tvb(q, 2):uint() end
                q = skip(q)
                k = k + 1
            end
            return q
        end
        return p + 1
    end
    local k = 0
    while k < count and at < stop do
        local klen = tvb(at, 2):uint()
        local key = klen > 0 and tvb(at + 2, klen):raw() or ""
        at = at + 2 + klen
        if key == "event" and tvb(at, 1):uint() == 0x73 then
            local n = tvb(at + 1, 4):uint()
            return n > 0 and tvb(at + 5, n):raw() or ""
        end
        at = skip(at)
        k = k + 1
    end
    return nil
end

function kiv.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "KIV-IPOD"
    local len = tvb:len()
    local top = root:add(kiv, tvb())
    if len < PSEUDO then
        top:add_proto_expert_info(e.short, "Record shorter than its pseudo-header")
        return len
    end
    local dir = tvb(0, 1):uint()
    local conn = tvb(4, 4):uint()
    top:add(f.direction, tvb(0, 1))
    top:add(f.connection, tvb(4, 4))
    local arrow = dir == 0 and "->" or "<-"
    pinfo.cols.src = dir == 0 and "library" or "daemon"
    pinfo.cols.dst = dir == 0 and "daemon" or "library"
    if tvb:reported_len() > len then
        top:add_proto_expert_info(e.cut, "Frame of " .. (tvb:reported_len() - PSEUDO) .. " bytes, "
                                  .. (len - PSEUDO) .. " captured")
    end
    if len - PSEUDO < HEADER then
        top:add_proto_expert_info(e.short)
        pinfo.cols.info = arrow .. " short frame"
        return len
    end
    local h = PSEUDO
    local marker_item = top:add(f.marker, tvb(h, 1))
    if tvb(h, 1):uint() ~= 0xFE then marker_item:add_proto_expert_info(e.marker) end
    local tid = tvb(h + 4, 4):uint()
    local op = tvb(h + 8, 1):uint()
    local length = tvb(h + 12, 4):uint()
    top:add(f.tid, tvb(h + 4, 4))
    top:add(f.opcode, tvb(h + 8, 1))
    local length_item = top:add(f.length, tvb(h + 12, 4))
    local name = opcode_names[op] or ("opcode_" .. op)
    local info = string.format("%s tid %d %s", arrow, tid, name)
    if conn ~= 0 then info = "#" .. conn .. " " .. info end

    local start = h + HEADER
    local have = len - start
    local cut = tvb:reported_len() > len
    if length > have and not cut then
        length_item:add_proto_expert_info(e.length, "Length " .. length .. " past the end of the frame ("
                                          .. have .. " payload bytes)")
    elseif length < have then
        top:add_proto_expert_info(e.trailing, (have - length) .. " bytes after the payload")
    end
    local stop = start + math.min(length, have)
    if stop > start then
        local ptree = top:add(tvb(start, stop - start), "Payload")
        local next_at, summary = decode(tvb, start, stop, ptree, 0, "", false)
        if next_at ~= nil then
            if op == OP_EVENT and dir == 1 then
                local ev = event_name(tvb, start, stop)
                if ev then
                    top:add(f.event, tvb(start, stop - start), ev)
                    info = info .. " " .. ev
                end
            elseif summary then
                info = info .. " " .. (#summary > 120 and summary:sub(1, 117) .. "..." or summary)
            end
        else
            info = info .. " [undecodable]"
        end
    end

    -- Pairing: a request goes to the daemon with a non-zero id; its reply
    -- comes back with the same id under any opcode but event and ping.
    local key = conn .. ":" .. tid
    if not pinfo.visited and tid ~= 0 then
        if dir == 0 then
            requests[key] = { frame = pinfo.number, time = pinfo.abs_ts }
        elseif op ~= OP_EVENT and op ~= OP_PING then
            local req = requests[key]
            if req and not reply_of[req.frame] then
                reply_of[req.frame] = pinfo.number
                request_of[pinfo.number] = { frame = req.frame, time = pinfo.abs_ts - req.time }
            end
        end
    end
    if dir == 0 and reply_of[pinfo.number] then
        top:add(f.response_in, reply_of[pinfo.number]):set_generated()
    elseif dir == 1 and request_of[pinfo.number] then
        local r = request_of[pinfo.number]
        top:add(f.request_in, r.frame):set_generated()
        local secs = math.floor(r.time)
        top:add(f.time, NSTime.new(secs, math.floor((r.time - secs) * 1e9 + 0.5))):set_generated()
    elseif dir == 1 and tid ~= 0 and op ~= OP_EVENT and op ~= OP_PING then
        top:add_proto_expert_info(e.noreply)
    end
    top:append_text(string.format(", %s tid %d, %s", arrow, tid, name))
    pinfo.cols.info = info
    return len
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, kiv)
